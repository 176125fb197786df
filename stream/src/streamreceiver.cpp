#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/verifyingkey.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include <QHash>

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
    Private(std::uint32_t id, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signerKey, Limits l)
        : streamId(id)
        , limits(l)
        , cipher(key)
        , signer(ssl::VerifyingKey::fromRaw(signerKey))
    {
    }

    // Every check a datagram must pass before it may change anything; the plaintext of the
    // fragment, or nothing with the cause counted.
    std::optional<QByteArray> open(
        std::span<const std::uint8_t> datagram, const std::optional<StreamDatagram>& header)
    {
        if (!header) {
            ++counters.malformed;
            return std::nullopt;
        }
        if (header->streamId != streamId) {
            ++counters.otherStream;
            return std::nullopt;
        }
        if (std::size_t(header->count) * StreamDatagram::maxPayload > limits.maxMessageBytes
            && header->count > 1) {
            ++counters.oversized;
            return std::nullopt;
        }
        if (!signer.verify(
                StreamDatagram::signedPart(datagram), StreamDatagram::signature(datagram))) {
            ++counters.forged;
            return std::nullopt;
        }
        if (seenBefore(header->counter)) {
            ++counters.replayed;
            return std::nullopt;
        }
        const std::span<const std::uint8_t> sealed = StreamDatagram::ciphertext(datagram);
        QByteArray plain(qsizetype(sealed.size()), Qt::Uninitialized);
        if (!cipher.decrypt(datagram.first<StreamDatagram::ivSize>(),
                datagram.first(StreamDatagram::headerSize), sealed,
                reinterpret_cast<std::uint8_t*>(plain.data()), StreamDatagram::tag(datagram))) {
            ++counters.unsealed;
            return std::nullopt;
        }
        markSeen(header->counter);
        ++counters.accepted;
        // A fragment may be empty (an empty message); keep it distinguishable from a missing one.
        return plain.isNull() ? QByteArray("", 0) : plain;
    }

    std::optional<QByteArray> assemble(
        const StreamDatagram& header, QByteArray plain, Clock::time_point now);

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

    Pending::iterator drop(Pending::iterator it)
    {
        pendingBytes -= it->bytes;
        ++counters.dropped;
        return pending.erase(it);
    }
    // Makes room for `length` more bytes (and a new message when `isNew`), the oldest incomplete
    // messages first, never the one of `sequence`. False when that is not enough.
    bool makeRoom(std::uint32_t sequence, bool isNew, std::size_t length);

    std::uint32_t streamId;
    Limits limits;
    ssl::AesGcm cipher;
    ssl::VerifyingKey signer;
    bool anySeen = false;
    std::uint64_t highest = 0;
    std::bitset<replayWindow> seen;
    Pending pending;
    Counters counters;
    std::size_t pendingBytes = 0;
};

bool StreamReceiver::Private::makeRoom(std::uint32_t sequence, bool isNew, std::size_t length)
{
    while ((isNew && std::size_t(pending.size()) >= limits.maxPendingMessages)
        || pendingBytes + length > limits.maxPendingBytes) {
        auto oldest = pending.end();
        for (auto candidate = pending.begin(); candidate != pending.end(); ++candidate)
            if (candidate.key() != sequence
                && (oldest == pending.end() || candidate->firstSeen < oldest->firstSeen))
                oldest = candidate;
        if (oldest == pending.end())
            return false;
        drop(oldest);
    }
    return true;
}

std::optional<QByteArray> StreamReceiver::Private::assemble(
    const StreamDatagram& header, QByteArray plain, Clock::time_point now)
{
    if (header.count == 1) {
        ++counters.messages;
        return plain;
    }
    auto it = pending.find(header.sequence);
    if (it != pending.end() && it->fragments.size() != header.count) {
        // Signed, so the sender itself disagrees with an earlier fragment: keep neither.
        ++counters.inconsistent;
        drop(it);
        return std::nullopt;
    }
    if (it != pending.end() && !it->fragments[header.index].isNull())
        return std::nullopt;
    const bool isNew = it == pending.end();
    const std::size_t length = std::size_t(plain.size());
    if (!makeRoom(header.sequence, isNew, length)) {
        // The message alone exceeds the limits.
        if (isNew)
            ++counters.dropped;
        else
            drop(pending.find(header.sequence));
        return std::nullopt;
    }
    if (isNew) {
        PendingMessage fresh;
        fresh.firstSeen = now;
        fresh.fragments.resize(header.count);
        it = pending.insert(header.sequence, std::move(fresh));
    } else {
        it = pending.find(header.sequence);
    }
    it->fragments[header.index] = std::move(plain);
    ++it->received;
    it->bytes += length;
    pendingBytes += length;
    if (it->received < it->fragments.size())
        return std::nullopt;

    QByteArray message;
    message.reserve(qsizetype(it->bytes));
    for (const QByteArray& fragment : it->fragments)
        message.append(fragment);
    pendingBytes -= it->bytes;
    pending.erase(it);
    ++counters.messages;
    return message;
}

StreamReceiver::StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
    std::span<const std::uint8_t, signerKeySize> signer)
    : StreamReceiver(streamId, key, signer, Limits())
{
}

StreamReceiver::StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
    std::span<const std::uint8_t, signerKeySize> signer, Limits limits)
    : m_d(std::make_unique<Private>(streamId, key, signer, limits))
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
    for (auto it = m_d->pending.begin(); it != m_d->pending.end();)
        it = now - it->firstSeen >= m_d->limits.timeout ? m_d->drop(it) : std::next(it);
}

std::optional<QByteArray> StreamReceiver::addDatagram(
    std::span<const std::uint8_t> datagram, Clock::time_point now)
{
    expire(now);
    const std::optional<StreamDatagram> header = StreamDatagram::read(datagram);
    std::optional<QByteArray> plain = m_d->open(datagram, header);
    if (!plain)
        return std::nullopt;
    return m_d->assemble(*header, std::move(*plain), now);
}

} // namespace vesk
