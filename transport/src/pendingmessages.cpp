#include "pendingmessages.h"

namespace vesk::detail {

PendingMessages::Message* PendingMessages::find(std::uint32_t sequence)
{
    const auto it = m_messages.find(sequence);
    return it == m_messages.end() ? nullptr : &it.value();
}

PendingMessages::Message* PendingMessages::open(
    std::uint32_t sequence, std::uint16_t count, Clock::time_point now)
{
    if (!makeRoom(sequence, true, 0)) {
        ++m_counters.dropped;
        return nullptr;
    }
    Message message;
    message.opened = now;
    message.digests.resize(count);
    message.listed.resize(count);
    message.fragments.resize(count);
    return &m_messages.insert(sequence, std::move(message)).value();
}

std::optional<QByteArray> PendingMessages::store(
    std::uint32_t sequence, std::uint16_t index, QByteArray plain)
{
    auto it = m_messages.find(sequence);
    if (it == m_messages.end() || !it->fragments[index].isNull())
        return std::nullopt;
    const std::size_t length = std::size_t(plain.size());
    // Making room erases other messages, and an erase in a QHash moves its neighbours: the
    // iterator is looked up again rather than kept across it.
    const bool room = makeRoom(sequence, false, length);
    it = m_messages.find(sequence);
    if (!room) {
        drop(it);
        return std::nullopt;
    }
    // A fragment may be empty (an empty message); keep it distinguishable from a missing one.
    it->fragments[index] = plain.isNull() ? QByteArray("", 0) : std::move(plain);
    ++it->received;
    it->bytes += length;
    m_bytes += length;
    if (it->received < it->fragments.size())
        return std::nullopt;

    QByteArray message;
    if (it->fragments.size() == 1) {
        message = std::move(it->fragments.front());
    } else {
        message.reserve(qsizetype(it->bytes));
        for (const QByteArray& fragment : it->fragments)
            message.append(fragment);
    }
    m_bytes -= it->bytes;
    m_messages.erase(it);
    ++m_counters.messages;
    return message;
}

void PendingMessages::drop(std::uint32_t sequence)
{
    const auto it = m_messages.find(sequence);
    if (it != m_messages.end())
        drop(it);
}

PendingMessages::Messages::iterator PendingMessages::drop(Messages::iterator it)
{
    m_bytes -= it->bytes;
    ++m_counters.dropped;
    return m_messages.erase(it);
}

void PendingMessages::expire(Clock::time_point now)
{
    for (auto it = m_messages.begin(); it != m_messages.end();)
        it = now - it->opened >= m_limits.timeout ? drop(it) : std::next(it);
}

void PendingMessages::clear()
{
    m_counters.dropped += std::uint64_t(m_messages.size());
    m_messages.clear();
    m_bytes = 0;
}

bool PendingMessages::makeRoom(std::uint32_t sequence, bool isNew, std::size_t length)
{
    while ((isNew && std::size_t(m_messages.size()) >= m_limits.maxPendingMessages)
        || m_bytes + length > m_limits.maxPendingBytes) {
        auto oldest = m_messages.end();
        for (auto candidate = m_messages.begin(); candidate != m_messages.end(); ++candidate)
            if (candidate.key() != sequence
                && (oldest == m_messages.end() || candidate->opened < oldest->opened))
                oldest = candidate;
        if (oldest == m_messages.end())
            return false;
        drop(oldest);
    }
    return true;
}

} // namespace vesk::detail
