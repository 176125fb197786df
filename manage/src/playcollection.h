// Internal to vesk-manage, not API.
#pragma once

#include "playstore.h"
#include "remote.h"

#include <vesk/plays/readout.h>

#include <functional>

namespace vesk::manage {

// Runs one command line on the register (through its SSH gate) and hands its standard output on
// as it comes; the run's `out` stays empty. It bounds the time a command may take.
using RemoteCommand = std::function<ProgramRun(
    const QString& command, const std::function<void(const QByteArray&)>& onOutput)>;

// The register's SSH connection as the RemoteCommand of a collection.
RemoteCommand sshCommand(const SshTarget& target);

// Reads one answer of `vesk-plays --after AFTER` as it comes, and keeps it only if it is whole
// and true: the ledger line first, then plays and gaps of that ledger in unbroken rising seqs from
// AFTER on (only seqs the register was told it may forget may be passed over), none past the
// ledger's last, at most `maxEntries` of them, then the end line and
// nothing after it. The first fault ends the reading; what came before it is not kept either.
class ReadoutReader
{
public:
    ReadoutReader(qint64 after, qsizetype maxEntries, const plays::ReadoutLimits& limits = {});

    void feed(QByteArrayView bytes);
    // The answer ended here: anything short of the end line is a torn answer.
    void finish();

    // Empty while the answer is good (or, before finish(), good so far).
    const QString& error() const { return m_error; }
    bool complete() const { return m_end.has_value() && m_error.isEmpty(); }

    const std::optional<plays::LedgerLine>& ledger() const { return m_ledger; }
    bool more() const { return m_end && m_end->more; }
    // The highest seq the answer accounts for (AFTER when it brought nothing).
    qint64 upTo() const { return m_upTo; }
    QList<plays::PlayRecord>& plays() { return m_plays; }
    QList<plays::Gap>& gaps() { return m_gaps; }

private:
    void line(QByteArrayView bytes);
    void entry(qint64 from, qint64 to);
    void refuse(const QString& why);

    qsizetype m_maxEntries;
    plays::ReadoutLimits m_limits;
    QByteArray m_pending;
    qsizetype m_lines = 0;
    qint64 m_upTo;
    std::optional<plays::LedgerLine> m_ledger;
    std::optional<plays::EndLine> m_end;
    QList<plays::PlayRecord> m_plays;
    QList<plays::Gap> m_gaps;
    QString m_error;
};

struct CollectionLimits
{
    // Records asked for in one answer; vesk-plays serves at most 10000.
    int batch = 10000;
};

struct CollectionResult
{
    enum class Status {
        done,
        unreachable, // no connection, or the answer broke off
        refused, // the register refused, or answered something that is not a read-out
        store, // the store cannot be read or written
    };
    Status status = Status::done;
    QString error;
    QString ledger;
    qint64 upTo = 0;
    qint64 plays = 0;
    qint64 gaps = 0;
};

// Collects the register's ledger into the store: reads after the last seq stored, stores each
// whole answer in one transaction and only then acknowledges it, while the register says there
// is more. A register whose ledger changed (its home was wiped) is read from the start of the
// new ledger, which is stored as a ledger of its own.
CollectionResult collectPlays(PlayStore& store, const QString& registerName,
    const RemoteCommand& remote, const CollectionLimits& limits = {});

} // namespace vesk::manage
