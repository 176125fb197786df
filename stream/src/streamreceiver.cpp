#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/verifyingkey.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include "earlyfragments.h"
#include "pendingmessages.h"
#include "replaywindow.h"

#include <algorithm>

namespace vesk {

using detail::EarlyFragments;
using detail::PendingMessages;
using Digest = StreamDatagram::Digest;

struct StreamReceiver::Private
{
    Private(std::uint32_t id, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signerKey, std::chrono::milliseconds joined,
        Limits l)
        : streamId(id)
        , limits(l)
        , joinedAt(joined)
        , cipher(key)
        , signer(ssl::VerifyingKey::fromRaw(signerKey))
        , pending(limits, counters)
        , early({ l.maxEarlyFragments, l.earlyPerSlot, l.earlyTimeout })
    {
    }

    // The checks every datagram must pass before anything may change, then the kind's own.
    std::optional<QByteArray> take(std::span<const std::uint8_t> datagram, Clock::time_point now);
    std::optional<QByteArray> takeManifest(std::span<const std::uint8_t> datagram,
        const StreamDatagram& header, Clock::time_point now);
    std::optional<QByteArray> takeFragment(std::span<const std::uint8_t> datagram,
        const StreamDatagram& header, Clock::time_point now);
    // A fragment whose manifest has come: it must be the one listed, sealed and new.
    std::optional<QByteArray> takeListed(std::span<const std::uint8_t> datagram,
        const StreamDatagram& header, const Digest& digest, const Digest& listed);
    // The fragments of the manifest's run that came before it.
    std::optional<QByteArray> claimEarly(const StreamDatagram& manifest, const Digest* listed);
    void waitEarly(std::span<const std::uint8_t> datagram, const StreamDatagram& header,
        const Digest& digest, Clock::time_point now);
    bool admitsEarly(std::uint32_t sequence) const;
    void expire(Clock::time_point now)
    {
        counters.unclaimed += early.expire(now);
        pending.expire(now);
    }

    std::uint32_t streamId;
    Limits limits;
    std::chrono::milliseconds joinedAt;
    ssl::AesGcm cipher;
    ssl::VerifyingKey signer;
    Counters counters;
    detail::ReplayWindow<replayWindow> replay;
    PendingMessages pending;
    EarlyFragments early;
    // The sequence of the newest manifest taken; fragments far from it do not wait.
    std::optional<std::uint32_t> newestSequence;
};

std::optional<QByteArray> StreamReceiver::Private::take(
    std::span<const std::uint8_t> datagram, Clock::time_point now)
{
    if (datagram.empty() || datagram[0] != StreamDatagram::version) {
        ++counters.otherVersion;
        return std::nullopt;
    }
    const std::optional<StreamDatagram> header = StreamDatagram::read(datagram);
    if (!header) {
        ++counters.malformed;
        return std::nullopt;
    }
    if (header->streamId != streamId) {
        ++counters.otherStream;
        return std::nullopt;
    }
    if (header->count > 1
        && std::size_t(header->count) * StreamDatagram::maxPayload > limits.maxMessageBytes) {
        ++counters.oversized;
        return std::nullopt;
    }
    const bool manifest = header->kind == StreamDatagram::Kind::manifest;
    if (manifest && header->sentAt < joinedAt - limits.joinSlack) {
        ++counters.beforeJoin;
        return std::nullopt;
    }
    if (replay.seenBefore(header->counter)) {
        ++counters.replayed;
        return std::nullopt;
    }
    return manifest ? takeManifest(datagram, *header, now) : takeFragment(datagram, *header, now);
}

std::optional<QByteArray> StreamReceiver::Private::takeManifest(
    std::span<const std::uint8_t> datagram, const StreamDatagram& header, Clock::time_point now)
{
    if (!signer.verify(StreamDatagram::signedPart(datagram), StreamDatagram::signature(datagram))) {
        ++counters.forged;
        return std::nullopt;
    }
    std::vector<Digest> listed(header.digestCount);
    for (std::size_t i = 0; i < listed.size(); ++i)
        std::ranges::copy(StreamDatagram::listed(datagram, i), listed[i].begin());
    replay.mark(header.counter);
    ++counters.accepted;
    newestSequence = header.sequence;

    PendingMessages::Message* message = pending.find(header.sequence);
    if (message) {
        bool agrees = message->fragments.size() == header.count;
        for (std::size_t i = 0; agrees && i < listed.size(); ++i)
            agrees = !message->listed[header.index + i]
                || message->digests[header.index + i] == listed[i];
        if (!agrees) {
            // Signed, so the register itself disagrees with its earlier manifest: keep neither.
            ++counters.inconsistent;
            pending.drop(header.sequence);
            return std::nullopt;
        }
    } else if (!(message = pending.open(header.sequence, header.count, now))) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
        message->digests[header.index + i] = listed[i];
        message->listed[header.index + i] = true;
    }
    return claimEarly(header, listed.data());
}

std::optional<QByteArray> StreamReceiver::Private::claimEarly(
    const StreamDatagram& manifest, const Digest* listed)
{
    std::optional<QByteArray> complete;
    for (std::uint16_t i = 0; i < manifest.digestCount; ++i)
        for (const EarlyFragments::Fragment& candidate :
            early.take(manifest.sequence, std::uint16_t(manifest.index + i))) {
            const auto datagram
                = std::span(reinterpret_cast<const std::uint8_t*>(candidate.datagram.constData()),
                    std::size_t(candidate.datagram.size()));
            if (auto message = takeListed(datagram, candidate.header, candidate.digest, listed[i]))
                complete = std::move(message);
        }
    return complete;
}

std::optional<QByteArray> StreamReceiver::Private::takeFragment(
    std::span<const std::uint8_t> datagram, const StreamDatagram& header, Clock::time_point now)
{
    const Digest digest = StreamDatagram::digestOf(datagram);
    const PendingMessages::Message* message = pending.find(header.sequence);
    if (message && message->fragments.size() != header.count) {
        // Its manifest has come and lists another count: it cannot be the listed fragment.
        ++counters.forged;
        return std::nullopt;
    }
    if (!message || !message->listed[header.index]) {
        waitEarly(datagram, header, digest, now);
        return std::nullopt;
    }
    return takeListed(datagram, header, digest, message->digests[header.index]);
}

std::optional<QByteArray> StreamReceiver::Private::takeListed(
    std::span<const std::uint8_t> datagram, const StreamDatagram& header, const Digest& digest,
    const Digest& listed)
{
    if (digest != listed) {
        ++counters.forged;
        return std::nullopt;
    }
    // A fragment that waited is checked again: a copy of it may have been taken meanwhile.
    if (replay.seenBefore(header.counter)) {
        ++counters.replayed;
        return std::nullopt;
    }
    const std::span<const std::uint8_t> sealed = StreamDatagram::ciphertext(datagram);
    QByteArray plain(qsizetype(sealed.size()), Qt::Uninitialized);
    if (!cipher.decrypt(StreamDatagram::iv(datagram), StreamDatagram::header(datagram), sealed,
            reinterpret_cast<std::uint8_t*>(plain.data()), StreamDatagram::tag(datagram))) {
        ++counters.unsealed;
        return std::nullopt;
    }
    replay.mark(header.counter);
    ++counters.accepted;
    return pending.store(header.sequence, header.index, std::move(plain));
}

void StreamReceiver::Private::waitEarly(std::span<const std::uint8_t> datagram,
    const StreamDatagram& header, const Digest& digest, Clock::time_point now)
{
    if (!admitsEarly(header.sequence)) {
        ++counters.unclaimed;
        return;
    }
    EarlyFragments::Fragment fragment { header, digest,
        QByteArray(reinterpret_cast<const char*>(datagram.data()), qsizetype(datagram.size())),
        now };
    switch (early.add(std::move(fragment))) {
    case EarlyFragments::Added::kept:
        break;
    case EarlyFragments::Added::duplicate:
        ++counters.replayed;
        break;
    case EarlyFragments::Added::refused:
        ++counters.unclaimed;
        break;
    }
}

// Sequence numbers wrap: the distance is the shorter way round.
//   newest 100, window 32: 68 .. 132 wait; 67 and 133 do not
//   newest 5: 4294967269 (5 - 32) waits
bool StreamReceiver::Private::admitsEarly(std::uint32_t sequence) const
{
    if (!newestSequence)
        return true;
    const std::uint32_t ahead = sequence - *newestSequence;
    const std::uint32_t behind = *newestSequence - sequence;
    return std::min(ahead, behind) <= limits.earlySequences;
}

StreamReceiver::StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
    std::span<const std::uint8_t, signerKeySize> signer, std::chrono::milliseconds joinedAt)
    : StreamReceiver(streamId, key, signer, joinedAt, Limits())
{
}

StreamReceiver::StreamReceiver(std::uint32_t streamId, std::span<const unsigned char, keySize> key,
    std::span<const std::uint8_t, signerKeySize> signer, std::chrono::milliseconds joinedAt,
    Limits limits)
    : m_d(std::make_unique<Private>(streamId, key, signer, joinedAt, limits))
{
}

StreamReceiver::~StreamReceiver() = default;

const StreamReceiver::Counters& StreamReceiver::counters() const
{
    return m_d->counters;
}

std::size_t StreamReceiver::pendingBytes() const
{
    return m_d->pending.bytes();
}

std::size_t StreamReceiver::pendingMessages() const
{
    return m_d->pending.size();
}

std::size_t StreamReceiver::earlyFragments() const
{
    return m_d->early.size();
}

void StreamReceiver::expire(Clock::time_point now)
{
    m_d->expire(now);
}

std::optional<QByteArray> StreamReceiver::addDatagram(
    std::span<const std::uint8_t> datagram, Clock::time_point now)
{
    m_d->expire(now);
    return m_d->take(datagram, now);
}

} // namespace vesk
