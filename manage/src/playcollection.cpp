#include "playcollection.h"

#include <vesk/log/peertext.h>

namespace vesk::manage {

namespace {

// ssh's own failures (no connection, a connection that broke) end it with 255.
constexpr int sshFailed = 255;
// An acknowledgement's answer is one short line.
constexpr qint64 ackAnswerLimit = 4096;

using Status = CollectionResult::Status;

CollectionResult failed(CollectionResult result, Status status, const QString& error)
{
    result.status = status;
    result.error = error;
    return result;
}

// How a remote run that did not end well failed; nothing when it ended well.
std::optional<std::pair<Status, QString>> runFailure(const ProgramRun& run, const char* what)
{
    const QString said = log::peerText(QString::fromUtf8(run.err).trimmed(), 300);
    if (!run.started || run.timedOut || run.status < 0 || run.status == sshFailed)
        return std::pair { Status::unreachable,
            QStringLiteral("cannot %1 (ssh %2): %3").arg(QLatin1String(what), run.ending(), said) };
    if (run.status != 0)
        return std::pair { Status::refused,
            QStringLiteral("the register refused to %1 (%2): %3")
                .arg(QLatin1String(what), run.ending(), said) };
    return std::nullopt;
}

// Tells the register it may forget its records up to `seq`; an error text when it did not agree.
std::optional<std::pair<Status, QString>> acknowledge(
    const RemoteCommand& remote, const QString& ledger, qint64 seq)
{
    QByteArray answer;
    bool overflow = false;
    const ProgramRun run = remote(
        QStringLiteral("vesk-plays --ack %1 %2").arg(ledger).arg(seq), [&](const QByteArray& b) {
            overflow = overflow || answer.size() + b.size() > ackAnswerLimit;
            if (!overflow)
                answer += b;
        });
    if (auto failure = runFailure(run, "acknowledge the plays stored"))
        return failure;
    const std::optional<plays::ReadoutLine> line
        = overflow ? std::nullopt : plays::parseReadoutLine(answer.trimmed());
    const auto* acked = line ? std::get_if<plays::AckedLine>(&*line) : nullptr;
    if (!acked || acked->ledger != ledger || qint64(acked->acked) < seq)
        return std::pair { Status::refused,
            QStringLiteral("the register's answer to our acknowledgement of %1 is not one: %2")
                .arg(seq)
                .arg(log::peerText(QString::fromUtf8(answer.left(300)).trimmed(), 300)) };
    return std::nullopt;
}

} // namespace

RemoteCommand sshCommand(const SshTarget& target)
{
    return
        [target](const QString& command, const std::function<void(const QByteArray&)>& onOutput) {
            return runProgram(QStringLiteral("ssh"), sshArguments(target) << command, 0,
                remoteTimeoutSeconds * 1000, onOutput);
        };
}

ReadoutReader::ReadoutReader(qint64 after, qsizetype maxEntries, const plays::ReadoutLimits& limits)
    : m_maxEntries(maxEntries)
    , m_limits(limits)
    , m_upTo(after)
{
}

void ReadoutReader::feed(QByteArrayView bytes)
{
    while (!bytes.isEmpty() && m_error.isEmpty()) {
        const qsizetype newline = bytes.indexOf('\n');
        const QByteArrayView piece = newline < 0 ? bytes : bytes.first(newline);
        if (m_pending.size() + piece.size() > m_limits.maxLineBytes) {
            refuse(QStringLiteral("a line of more than %1 bytes").arg(m_limits.maxLineBytes));
            return;
        }
        if (newline < 0) {
            m_pending += piece;
            return;
        }
        if (m_pending.isEmpty()) {
            line(piece);
        } else {
            m_pending += piece;
            line(m_pending);
            m_pending.clear();
        }
        bytes = bytes.sliced(newline + 1);
    }
}

void ReadoutReader::finish()
{
    if (!m_error.isEmpty())
        return;
    if (!m_pending.isEmpty())
        refuse(QStringLiteral("the answer broke off within a line"));
    else if (!m_end)
        refuse(QStringLiteral("the answer broke off before its end line"));
}

void ReadoutReader::line(QByteArrayView bytes)
{
    ++m_lines;
    if (m_end) {
        refuse(QStringLiteral("line %1 follows the end line").arg(m_lines));
        return;
    }
    QString why;
    std::optional<plays::ReadoutLine> parsed = plays::parseReadoutLine(bytes, &why, m_limits);
    if (!parsed) {
        refuse(QStringLiteral("line %1: %2").arg(m_lines).arg(why));
        return;
    }
    if (!m_ledger) {
        auto* ledger = std::get_if<plays::LedgerLine>(&*parsed);
        if (!ledger)
            refuse(QStringLiteral("the answer does not start with its ledger"));
        else
            m_ledger = std::move(*ledger);
        return;
    }
    if (auto* play = std::get_if<plays::PlayLine>(&*parsed)) {
        if (play->ledger != m_ledger->ledger)
            refuse(QStringLiteral("line %1 is a play of another ledger").arg(m_lines));
        entry(qint64(play->record.seq), qint64(play->record.seq));
        if (m_error.isEmpty())
            m_plays.append(std::move(play->record));
    } else if (auto* gap = std::get_if<plays::Gap>(&*parsed)) {
        entry(qint64(gap->from), qint64(gap->to));
        if (m_error.isEmpty())
            m_gaps.append(*gap);
    } else if (auto* end = std::get_if<plays::EndLine>(&*parsed)) {
        m_end = *end;
    } else {
        refuse(QStringLiteral("line %1 has no place in a read-out").arg(m_lines));
    }
}

void ReadoutReader::entry(qint64 from, qint64 to)
{
    if (!m_error.isEmpty())
        return;
    // The register passes over, without a line, seqs it was told it may forget and no longer
    // has; any other seq missing is one it hides.
    const qint64 acked = qint64(m_ledger->acked);
    if (from != m_upTo + 1 && !(m_upTo < acked && from > m_upTo && from <= acked + 1))
        refuse(QStringLiteral("line %1: seq %2 does not follow seq %3")
                   .arg(m_lines)
                   .arg(from)
                   .arg(m_upTo));
    else if (to > qint64(m_ledger->last))
        refuse(QStringLiteral("line %1: seq %2 is past the ledger's last, %3")
                   .arg(m_lines)
                   .arg(to)
                   .arg(m_ledger->last));
    else if (m_plays.size() + m_gaps.size() >= m_maxEntries)
        refuse(QStringLiteral("more than the %1 records asked for").arg(m_maxEntries));
    else
        m_upTo = to;
}

void ReadoutReader::refuse(const QString& why)
{
    if (m_error.isEmpty())
        m_error = why;
    m_plays.clear();
    m_gaps.clear();
}

CollectionResult collectPlays(PlayStore& store, const QString& registerName,
    const RemoteCommand& remote, const CollectionLimits& limits)
{
    CollectionResult result;
    try {
        result.ledger = store.currentLedger(registerName).value_or(QString());
        // A register that changed its ledger is read again from the new one's start; one
        // change per collection, so that two ledgers in turn cannot keep us going round.
        bool ledgerChanged = false;
        for (;;) {
            const qint64 after = result.ledger.isEmpty() ? 0 : store.storedUpTo(result.ledger);
            // Between two records at most one gap: twice the batch and one.
            ReadoutReader reader(after, 2 * qsizetype(limits.batch) + 1);
            const ProgramRun run = remote(
                QStringLiteral("vesk-plays --after %1 --limit %2").arg(after).arg(limits.batch),
                [&reader](const QByteArray& bytes) { reader.feed(bytes); });
            if (auto failure = runFailure(run, "read the plays"))
                return failed(result, failure->first, failure->second);
            reader.finish();
            if (!reader.complete())
                return failed(result, Status::refused,
                    QStringLiteral("the register's plays after seq %1 are no read-out: %2")
                        .arg(after)
                        .arg(reader.error()));
            const plays::LedgerLine ledger = *reader.ledger();
            if (ledger.ledger != result.ledger) {
                if (ledgerChanged)
                    return failed(result, Status::refused,
                        QStringLiteral("the register's ledger changed twice in one collection"));
                ledgerChanged = true;
                result.ledger = ledger.ledger;
                if (store.storedUpTo(ledger.ledger) != after)
                    continue;
            }
            if (qint64(ledger.last) < after)
                return failed(result, Status::refused,
                    QStringLiteral("the register's ledger %1 ends at seq %2, but seq %3 is stored")
                        .arg(ledger.ledger)
                        .arg(ledger.last)
                        .arg(after));
            if (reader.upTo() > after || !store.ledgerRegister(ledger.ledger)) {
                result.plays += reader.plays().size();
                for (const plays::Gap& gap : reader.gaps())
                    result.gaps += gap.count();
                store.store(PlayBatch { registerName, ledger.ledger, std::move(reader.plays()),
                    std::move(reader.gaps()), reader.upTo() });
            }
            result.upTo = store.storedUpTo(ledger.ledger);
            // Committed; now, and only now, the register may forget them. An acknowledgement
            // lost before (a crash after the commit) is made up for here.
            if (result.upTo > qint64(ledger.acked))
                if (auto failure = acknowledge(remote, ledger.ledger, result.upTo))
                    return failed(result, failure->first, failure->second);
            if (!reader.more())
                return result;
            if (reader.upTo() == after)
                return failed(result, Status::refused,
                    QStringLiteral("the register says there are more plays after seq %1, but "
                                   "sends none")
                        .arg(after));
        }
    } catch (const StoreError& e) {
        return failed(result, Status::store, QString::fromUtf8(e.what()));
    }
}

} // namespace vesk::manage
