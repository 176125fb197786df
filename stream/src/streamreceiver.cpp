#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include "gcmcipher.h"

#include <QHash>

#include <algorithm>
#include <bitset>
#include <vector>

namespace vesk {

namespace {

struct PendingMessage
{
    StreamReceiver::Clock::time_point firstSeen;
    std::vector<QByteArray> fragments;
    std::size_t received = 0;
    std::size_t bytes = 0;
};

} // namespace

struct StreamReceiver::Private
{
    Private(std::uint32_t id, std::span<const unsigned char, 32> key, Limits l)
        : streamId(id)
        , limits(l)
        , cipher(detail::GcmCipher::Direction::decrypt, key)
    {
    }

    // Sliding window over the counters seen: bit i of `seen` stands for counter highest - i.
    bool seenBefore(std::uint64_t counter) const
    {
        if (!anySeen || counter > highest)
            return false;
        const std::uint64_t behind = highest - counter;
        return behind >= replayWindow || seen.test(std::size_t(behind));
    }
    void markSeen(std::uint64_t counter)
    {
        if (!anySeen) {
            anySeen = true;
            highest = counter;
            seen.reset();
        } else if (counter > highest) {
            const std::uint64_t ahead = counter - highest;
            seen = ahead >= replayWindow ? std::bitset<replayWindow>() : seen << std::size_t(ahead);
            highest = counter;
        }
        seen.set(std::size_t(highest - counter));
    }

    using Pending = QHash<std::uint32_t, PendingMessage>;

    void drop(Pending::iterator it)
    {
        pendingBytes -= it->bytes;
        ++counters.dropped;
        pending.erase(it);
    }

    std::uint32_t streamId;
    Limits limits;
    detail::GcmCipher cipher;
    bool anySeen = false;
    std::uint64_t highest = 0;
    std::bitset<replayWindow> seen;
    Pending pending;
    Counters counters;
    std::size_t pendingBytes = 0;
};

StreamReceiver::StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, 32> key)
    : StreamReceiver(streamId, key, Limits())
{
}

StreamReceiver::StreamReceiver(
    std::uint32_t streamId, std::span<const unsigned char, 32> key, Limits limits)
    : m_d(std::make_unique<Private>(streamId, key, limits))
{
}

StreamReceiver::~StreamReceiver() = default;

const StreamReceiver::Counters& StreamReceiver::counters() const
{
    return m_d->counters;
}

std::size_t StreamReceiver::pendingBytes() const
{
    return m_d->pendingBytes;
}

std::size_t StreamReceiver::pendingMessages() const
{
    return std::size_t(m_d->pending.size());
}

void StreamReceiver::expire(Clock::time_point now)
{
    for (auto it = m_d->pending.begin(); it != m_d->pending.end();) {
        if (now - it->firstSeen >= m_d->limits.timeout) {
            m_d->pendingBytes -= it->bytes;
            ++m_d->counters.dropped;
            it = m_d->pending.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<QByteArray> StreamReceiver::addDatagram(
    std::span<const std::uint8_t> datagram, Clock::time_point now)
{
    expire(now);
    const std::optional<StreamDatagram> header = StreamDatagram::read(datagram);
    if (!header || header->streamId != m_d->streamId) {
        ++m_d->counters.rejected;
        return std::nullopt;
    }
    // Checked before decryption so that a flood of replays costs no AES work.
    if (m_d->seenBefore(header->counter)) {
        ++m_d->counters.replayed;
        return std::nullopt;
    }

    const std::size_t length
        = datagram.size() - StreamDatagram::headerSize - StreamDatagram::tagSize;
    QByteArray plain(qsizetype(length), Qt::Uninitialized);
    const std::uint8_t* bytes = datagram.data();
    if (!m_d->cipher.decrypt(std::span<const std::uint8_t, 12>(bytes, StreamDatagram::ivSize),
            datagram.first(StreamDatagram::headerSize),
            datagram.subspan(StreamDatagram::headerSize, length),
            reinterpret_cast<std::uint8_t*>(plain.data()),
            std::span<const std::uint8_t, 16>(bytes + StreamDatagram::headerSize + length, 16))) {
        ++m_d->counters.rejected;
        return std::nullopt;
    }
    m_d->markSeen(header->counter);
    ++m_d->counters.accepted;

    if (header->count == 1) {
        ++m_d->counters.messages;
        return plain;
    }

    auto it = m_d->pending.find(header->sequence);
    if (it != m_d->pending.end() && it->fragments.size() != header->count) {
        // Authentic, so the sender itself disagrees with an earlier fragment: keep neither.
        m_d->drop(it);
        return std::nullopt;
    }
    if (it != m_d->pending.end() && !it->fragments[header->index].isNull())
        return std::nullopt;
    // Make room, the oldest incomplete messages first; the message this fragment belongs to goes
    // only when it alone exceeds the limit.
    const bool isNew = it == m_d->pending.end();
    while (true) {
        const bool tooMany
            = isNew && std::size_t(m_d->pending.size()) >= m_d->limits.maxPendingMessages;
        const bool tooLarge = m_d->pendingBytes + length > m_d->limits.maxPendingBytes;
        if (!tooMany && !tooLarge)
            break;
        auto oldest = m_d->pending.end();
        for (auto candidate = m_d->pending.begin(); candidate != m_d->pending.end(); ++candidate)
            if (candidate.key() != header->sequence
                && (oldest == m_d->pending.end() || candidate->firstSeen < oldest->firstSeen))
                oldest = candidate;
        if (oldest == m_d->pending.end()) {
            if (!isNew)
                m_d->drop(m_d->pending.find(header->sequence));
            else
                ++m_d->counters.dropped;
            return std::nullopt;
        }
        m_d->drop(oldest);
    }
    if (isNew) {
        PendingMessage fresh;
        fresh.firstSeen = now;
        fresh.fragments.resize(header->count);
        it = m_d->pending.insert(header->sequence, std::move(fresh));
    } else {
        it = m_d->pending.find(header->sequence);
    }

    QByteArray& slot = it->fragments[header->index];
    if (!slot.isNull())
        return std::nullopt;
    // A fragment may be empty (an empty message); keep it distinguishable from a missing one.
    slot = plain.isNull() ? QByteArray("", 0) : std::move(plain);
    ++it->received;
    it->bytes += length;
    m_d->pendingBytes += length;
    if (it->received < it->fragments.size())
        return std::nullopt;

    QByteArray message;
    message.reserve(qsizetype(it->bytes));
    for (const QByteArray& fragment : it->fragments)
        message.append(fragment);
    m_d->pendingBytes -= it->bytes;
    m_d->pending.erase(it);
    ++m_d->counters.messages;
    return message;
}

} // namespace vesk
