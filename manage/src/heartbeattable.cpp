#include "heartbeattable.h"

#include <vesk/protocol/heartbeat.h>

#include <algorithm>

namespace vesk::manage {

std::optional<qint64> HeartbeatTable::Row::clockOffsetMs() const
{
    if (!received || !registerTime)
        return std::nullopt;
    return registerTime->toMSecsSinceEpoch() - received->toMSecsSinceEpoch();
}

HeartbeatTable::HeartbeatTable(const Limits& limits)
    : m_limits(limits)
{
}

bool HeartbeatTable::knowsToken(QByteArrayView datagram) const
{
    return find(protocol::heartbeat::tokenOf(datagram)) >= 0;
}

qsizetype HeartbeatTable::find(QByteArrayView token) const
{
    return m_byToken.value(QByteArray::fromRawData(token.data(), token.size()), -1);
}

void HeartbeatTable::setRegisters(const QList<RegisterState>& registers, const QDateTime& now)
{
    QList<RegisterState> sorted = registers;
    std::sort(sorted.begin(), sorted.end(),
        [](const RegisterState& a, const RegisterState& b) { return a.name < b.name; });
    QList<Row> rows;
    QList<Key> keys;
    for (const RegisterState& state : sorted) {
        Key key { state.token.toRfc4122(), {}, {} };
        if (!key.key.trySetKey(state.sharedKey))
            continue;
        key.cipher = std::make_shared<ssl::AesGcm>(key.key.bytes());
        Row row { state.name, {}, {}, {}, 0, 0, now, state.registerText() };
        for (qsizetype i = 0; i < m_rows.size(); ++i)
            if (m_rows[i].name == state.name && m_keys[i].token == key.token
                && m_keys[i].key.getKey() == key.key.getKey())
                row = m_rows[i];
        rows.append(std::move(row));
        keys.append(std::move(key));
    }
    m_rows = std::move(rows);
    m_keys = std::move(keys);
    m_byToken.clear();
    for (qsizetype i = 0; i < m_keys.size(); ++i)
        if (!m_byToken.contains(m_keys[i].token))
            m_byToken.insert(m_keys[i].token, i);
}

HeartbeatTable::Verdict HeartbeatTable::count(Verdict verdict)
{
    // In the order of Verdict.
    static constexpr quint64 Counters::*counters[] = { &Counters::accepted, &Counters::oversized,
        &Counters::malformed, &Counters::unknown, &Counters::forged, &Counters::replayed };
    ++(m_counters.*counters[int(verdict)]);
    return verdict;
}

HeartbeatTable::Verdict HeartbeatTable::addDatagram(
    QByteArrayView datagram, const QString& from, const QDateTime& now, qsizetype* accepted)
{
    if (datagram.size() > m_limits.maxDatagramBytes)
        return count(Verdict::oversized);
    if (datagram.size() < protocol::heartbeat::minSize)
        return count(Verdict::malformed);
    const qsizetype index = find(protocol::heartbeat::tokenOf(datagram));
    if (index < 0)
        return count(Verdict::unknown);
    const Key* key = &m_keys[index];
    Row& row = m_rows[index];

    const protocol::heartbeat::Opened opened = protocol::heartbeat::open(datagram, *key->cipher);
    using Result = protocol::heartbeat::Opened::Result;
    if (opened.result == Result::forged)
        return count(Verdict::forged);
    if (opened.result != Result::opened)
        return count(Verdict::malformed);
    const QDateTime& time = opened.time;
    if (row.registerTime && time <= *row.registerTime)
        return count(Verdict::replayed);

    row.missedBefore += missedIn(row.received.value_or(row.since).msecsTo(now));
    row.from = from;
    row.received = now;
    row.registerTime = time;
    ++row.beats;
    if (accepted)
        *accepted = index;
    return count(Verdict::accepted);
}

quint64 HeartbeatTable::missed(const Row& row, const QDateTime& now) const
{
    return row.missedBefore + missedIn(row.received.value_or(row.since).msecsTo(now));
}

// A gap of n periods, give or take half of one, holds n - 1 missed beats.
quint64 HeartbeatTable::missedIn(qint64 gapMs) const
{
    const qint64 period = m_limits.period.count();
    const qint64 periods = (2 * std::max<qint64>(gapMs, 0) + period) / (2 * period);
    return quint64(std::max<qint64>(periods - 1, 0));
}

} // namespace vesk::manage
