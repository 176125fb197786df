// Internal to vesk-manage, not API.
#pragma once

#include "registerstate.h"

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/sharedkey.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace vesk::manage {

// The registers' heartbeats as a management server sees them. A beat is one datagram: the
// register's 16-byte token in clear, a 12-byte IV, the AES-256-GCM ciphertext of
// {"datetime":"<the register's local time with milliseconds and offset>"} and the 16-byte tag,
// sealed with the key agreed at pairing. A datagram counts as a beat of a register only when its
// token is that register's, its tag checks under that register's key, it holds a time, and that
// time is later than the register's last beat (a replayed beat brings nothing new). Every other
// datagram changes no row and is counted by its cause.
//
// The clock is passed in (`now`, our time when the datagram came or the table is drawn), so the
// table runs in virtual time in its tests. Not thread-safe; one owner.
class HeartbeatTable
{
public:
    struct Limits
    {
        // How often a register beats; a beat more than half a period late counts as missed.
        std::chrono::milliseconds period { 60000 };
        // A beat is about 90 bytes; a larger datagram is not looked at.
        qsizetype maxDatagramBytes = 512;
    };

    enum class Verdict {
        accepted,
        oversized,
        malformed, // too short, or sealed correctly without a time in it
        unknown, // no paired register has this token
        forged, // the tag does not check under the register's key
        replayed, // a time not later than the register's last beat
    };

    struct Counters
    {
        quint64 accepted = 0;
        quint64 oversized = 0;
        quint64 malformed = 0;
        quint64 unknown = 0;
        quint64 forged = 0;
        quint64 replayed = 0;
    };

    struct Row
    {
        QString name;
        // Where the last beat came from, ADDRESS:PORT.
        QString from;
        // Our time of the last beat, and the register's time in it.
        std::optional<QDateTime> received;
        std::optional<QDateTime> registerTime;
        quint64 beats = 0;
        // Beats missed between the beats received; missed() adds the ones overdue now.
        quint64 missedBefore = 0;
        // Since when the table waits for this register's beats.
        QDateTime since;
        // The register's API, ADDRESS:PORT, as paired.
        QString api;

        // The register's clock against ours at the last beat, in milliseconds (ahead > 0).
        std::optional<qint64> clockOffsetMs() const;
    };

    explicit HeartbeatTable(const Limits& limits);

    // The registers to listen for. Rows of registers still paired stay as they are; a register
    // paired anew (another token or key) starts a new row.
    void setRegisters(const QList<RegisterState>& registers, const QDateTime& now);

    // `row`, when given, is set to the index in rows() of the register an accepted beat is of.
    Verdict addDatagram(QByteArrayView datagram, const QString& from, const QDateTime& now,
        qsizetype* row = nullptr);

    // Whether the datagram names the token of a register in the table (nothing else is checked):
    // an unknown token may be a register paired since the table was set.
    bool knowsToken(QByteArrayView datagram) const;

    // Beats missed so far: between the beats received, and those overdue at `now`.
    quint64 missed(const Row& row, const QDateTime& now) const;

    // Sorted by name.
    const QList<Row>& rows() const { return m_rows; }
    const Counters& counters() const { return m_counters; }

private:
    // The cipher is set up once per key: a flood that repeats a known token costs a tag check a
    // datagram, not a key schedule and an exception.
    struct Key
    {
        QByteArray token;
        ssl::SharedKey key;
        std::shared_ptr<ssl::AesGcm> cipher;
    };

    quint64 missedIn(qint64 gapMs) const;
    // The index in m_keys of the register with this token, -1 for none.
    qsizetype find(QByteArrayView token) const;
    Verdict count(Verdict verdict);

    Limits m_limits;
    QList<Row> m_rows;
    // The same order as m_rows.
    QList<Key> m_keys;
    // Token to index: a fleet of thousands costs a lookup a datagram, not a walk of the list.
    QHash<QByteArray, qsizetype> m_byToken;
    Counters m_counters;
};

} // namespace vesk::manage
