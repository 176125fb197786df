#include "streamreceiverprivate.h"

#include <algorithm>
#include <limits>

namespace vesk {

using detail::PendingMessages;
using detail::ReceiverChains;
using detail::WaitingDatagrams;
using Waiting = WaitingDatagrams::Datagram;

namespace {

// Chains held at once: the current one, the next, and one that has just ended.
constexpr std::size_t chainsHeld = 4;

QByteArray copyOf(std::span<const std::uint8_t> bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

} // namespace

StreamReceiver::JoinError StreamReceiver::Private::join(
    const Join& join, QList<QByteArray>& completed)
{
    const auto read = [&](const QByteArray& bytes) -> std::optional<StreamAnchor> {
        const std::optional<StreamAnchor> anchor = StreamAnchor::read(bytesOf(bytes));
        if (!anchor || std::size_t(bytes.size()) != StreamAnchor::size
            || anchor->streamId != streamId || !StreamAnchor::signedBy(bytesOf(bytes), signer))
            return std::nullopt;
        return anchor;
    };
    const std::optional<StreamAnchor> anchor = read(join.anchor);
    if (!anchor)
        return JoinError::anchor;
    const std::optional<StreamAnchor> next = join.next.isEmpty() ? std::nullopt : read(join.next);
    if (!join.next.isEmpty()
        && (!next || next->interval != anchor->interval || next->delay != anchor->delay))
        return JoinError::next;
    const std::optional<StreamDisclosure> key
        = join.key.isEmpty() ? std::nullopt : StreamDisclosure::read(bytesOf(join.key));
    if (!join.key.isEmpty() && (!key || key->streamId != streamId))
        return JoinError::key;

    // Tried on a copy, so that an error leaves everything as it was.
    ReceiverChains tried = chains;
    if (!tried.hold(*anchor, join.anchor))
        return JoinError::anchor;
    if (next && !tried.hold(*next, join.next))
        return JoinError::next;
    ReceiverChains::Keys learned;
    if (key && tried.find(key->chain)) {
        const ReceiverChains::KeyCheck checked
            = tried.check(*key, std::nullopt, std::numeric_limits<std::uint64_t>::max(), learned);
        if (checked != ReceiverChains::KeyCheck::accepted
            && checked != ReceiverChains::KeyCheck::replayed
            && checked != ReceiverChains::KeyCheck::late)
            return JoinError::key;
    }
    tried.synchronize(join.clock, join.asked, join.answered);
    chains = std::move(tried);
    settle(learned, join.answered, completed);
    return JoinError::none;
}

void StreamReceiver::Private::take(std::span<const std::uint8_t> datagram, Source source,
    Clock::time_point now, QList<QByteArray>& completed)
{
    if (datagram.empty() || datagram[0] != StreamDatagram::version) {
        ++counters.otherVersion;
        return;
    }
    const std::uint8_t kind = datagram.size() > 1 ? datagram[1] : 0;
    if (kind == StreamDisclosure::kind) {
        const std::optional<StreamDisclosure> key = StreamDisclosure::read(datagram);
        if (!key)
            ++counters.malformed;
        else if (key->streamId != streamId)
            ++counters.otherStream;
        else
            takeKey(*key, now, completed);
        return;
    }
    if (kind == StreamAnchor::kind) {
        const std::optional<StreamAnchor> anchor = StreamAnchor::read(datagram);
        if (!anchor || datagram.size() != StreamAnchor::inBandSize)
            ++counters.malformed;
        else if (anchor->streamId != streamId)
            ++counters.otherStream;
        else
            takeAnchor(datagram, *anchor, source, now);
        return;
    }
    const std::optional<StreamDatagram> header = StreamDatagram::read(datagram);
    if (!header) {
        ++counters.malformed;
        return;
    }
    if (header->streamId != streamId) {
        ++counters.otherStream;
        return;
    }
    if (header->count > 1
        && std::size_t(header->count) * StreamDatagram::maxPayload > limits.maxMessageBytes) {
        ++counters.oversized;
        return;
    }
    if (header->kind == StreamDatagram::Kind::manifest)
        takeManifest(datagram, *header, source, now);
    else
        takeFragment(datagram, *header, source, now, completed);
}

void StreamReceiver::Private::takeManifest(std::span<const std::uint8_t> datagram,
    const StreamDatagram& header, Source source, Clock::time_point now)
{
    if (!chains.timed()) {
        ++counters.unanchored;
        return;
    }
    const std::uint64_t reachable = chains.reachable(now);
    const std::uint64_t interval = chains.intervalOf(header.sentAt);
    if (interval > reachable) {
        ++counters.future;
        return;
    }
    if (interval + chains.delay() <= reachable) {
        ++counters.unsafe;
        return;
    }
    if (!chains.covering(interval)) {
        ++counters.unanchored;
        return;
    }
    if (replay.seenBefore(header.counter)) {
        ++counters.replayed;
        return;
    }
    wait({ WaitingDatagrams::Kind::manifest, copyOf(datagram), header, {}, interval, source });
}

void StreamReceiver::Private::takeFragment(std::span<const std::uint8_t> datagram,
    const StreamDatagram& header, Source source, Clock::time_point now,
    QList<QByteArray>& completed)
{
    if (replay.seenBefore(header.counter)) {
        ++counters.replayed;
        return;
    }
    const Digest digest = StreamDatagram::digestOf(datagram);
    if (const PendingMessages::Message* message = pending.find(header.sequence)) {
        if (message->fragments.size() != header.count) {
            // Its manifest has come and lists another count: it cannot be the listed fragment.
            ++counters.forged;
            return;
        }
        if (message->listed[header.index])
            return takeListed(datagram, header, digest, message->digests[header.index], completed);
    }
    if (!admitsEarly(header.sequence)) {
        ++counters.unclaimed;
        return;
    }
    if (!chains.timed()) {
        ++counters.unanchored;
        return;
    }
    wait({ WaitingDatagrams::Kind::fragment, copyOf(datagram), header, digest,
        chains.reachable(now), source });
}

void StreamReceiver::Private::takeKey(
    const StreamDisclosure& key, Clock::time_point now, QList<QByteArray>& completed)
{
    if (!chains.timed()) {
        ++counters.unanchored;
        return;
    }
    // By ReceiverChains::KeyCheck, in its order.
    static constexpr std::uint64_t Counters::*causes[]
        = { &Counters::accepted, &Counters::unanchored, &Counters::forged, &Counters::future,
              &Counters::late, &Counters::replayed };
    ReceiverChains::Keys learned;
    const ReceiverChains::KeyCheck checked
        = chains.check(key, chains.reachable(now), limits.maxKeyDistance, learned);
    ++(counters.*causes[std::size_t(checked)]);
    if (checked == ReceiverChains::KeyCheck::accepted)
        settle(learned, now, completed);
}

void StreamReceiver::Private::takeAnchor(std::span<const std::uint8_t> datagram,
    const StreamAnchor& anchor, Source source, Clock::time_point now)
{
    const auto signedPart = datagram.first<StreamAnchor::size>();
    if (const ReceiverChains::Chain* held = chains.find(anchor.chain)) {
        const bool same = std::ranges::equal(bytesOf(held->bytes), signedPart);
        ++(same ? counters.replayed : counters.forged);
        return;
    }
    if (chains.timed()) {
        const std::uint64_t reachable = chains.reachable(now);
        if (anchor.end() - 1 + chains.delay() < reachable) {
            ++counters.late;
            return;
        }
        if (anchor.interval != chains.interval() || anchor.delay != chains.delay()) {
            ++counters.inconsistent;
            return;
        }
        const std::uint64_t interval = chains.intervalOf(anchor.sentAt);
        if (chains.covering(interval)) {
            if (interval > reachable)
                ++counters.future;
            else if (interval + chains.delay() <= reachable)
                ++counters.unsafe;
            else
                wait(
                    { WaitingDatagrams::Kind::anchor, copyOf(datagram), {}, {}, interval, source });
            return;
        }
    }
    // No chain held to check it by: only its signature can tell.
    if (!spendCheck(now)) {
        ++counters.unchecked;
        return;
    }
    if (!StreamAnchor::signedBy(datagram, signer)) {
        ++counters.forged;
        return;
    }
    ++(chains.hold(anchor, copyOf(signedPart)) ? counters.accepted : counters.inconsistent);
}

void StreamReceiver::Private::wait(Waiting datagram)
{
    const bool fromRegister = registers && *registers == datagram.source;
    switch (pool.offer(std::move(datagram), fromRegister, counters.crowded)) {
    case WaitingDatagrams::Offer::kept:
        break;
    case WaitingDatagrams::Offer::copy:
        ++counters.replayed;
        break;
    case WaitingDatagrams::Offer::crowded:
        ++counters.crowded;
        break;
    }
}

// Sequence numbers wrap: the distance is the shorter way round, and the window's edge waits.
//   newest 100, window 256: 4294967140 (100 - 256) .. 356 wait; 357 does not
bool StreamReceiver::Private::admitsEarly(std::uint32_t sequence) const
{
    if (!newestSequence)
        return true;
    const std::uint32_t ahead = sequence - *newestSequence;
    const std::uint32_t behind = *newestSequence - sequence;
    return std::min(ahead, behind) <= limits.sequenceWindow;
}

// A bucket of `anchorChecks`, one more every `anchorCheckEvery`.
bool StreamReceiver::Private::spendCheck(Clock::time_point now)
{
    if (!refilled)
        refilled = now;
    while (tokens < limits.anchorChecks && now - *refilled >= limits.anchorCheckEvery) {
        ++tokens;
        *refilled += limits.anchorCheckEvery;
    }
    if (tokens == limits.anchorChecks)
        refilled = now;
    if (tokens == 0)
        return false;
    --tokens;
    return true;
}

void StreamReceiver::Private::expire(Clock::time_point now)
{
    pending.expire(now);
    if (!chains.timed())
        return;
    const std::int64_t bound = chains.upperBound(now);
    while (const std::optional<std::uint64_t> oldest = pool.oldest()) {
        if (chains.dueAt(*oldest) + limits.keyWait.count() > bound)
            break;
        counters.unclaimed += pool.drop(*oldest);
    }
    chains.forget(chains.reachable(now),
        std::uint64_t(limits.keyWait.count() / chains.interval().count()) + 1, chainsHeld);
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

StreamReceiver::JoinError StreamReceiver::join(const Join& join, QList<QByteArray>* completed)
{
    QList<QByteArray> messages;
    const JoinError error = m_d->join(join, messages);
    if (completed)
        *completed += messages;
    return error;
}

QList<QByteArray> StreamReceiver::addDatagram(
    std::span<const std::uint8_t> datagram, Source source, Clock::time_point now)
{
    m_d->expire(now);
    QList<QByteArray> completed;
    m_d->take(datagram, source, now, completed);
    return completed;
}

void StreamReceiver::expire(Clock::time_point now)
{
    m_d->expire(now);
}

void StreamReceiver::finish()
{
    m_d->counters.unclaimed += m_d->pool.clear();
    m_d->pending.clear();
}

bool StreamReceiver::wantsJoin(Clock::time_point now) const
{
    const ReceiverChains& chains = m_d->chains;
    if (!chains.timed() || chains.error(now) > m_d->limits.maxClockError)
        return true;
    const std::uint64_t reachable = chains.reachable(now);
    const ReceiverChains::Chain* current = chains.covering(reachable);
    if (!current)
        return true;
    const std::uint64_t margin
        = std::uint64_t(m_d->limits.renewalMargin.count() / chains.interval().count());
    if (current->anchor.end() - reachable <= margin && !chains.covering(current->anchor.end()))
        return true;
    if (reachable < chains.delay())
        return false;
    const ReceiverChains::Chain* keyed = chains.covering(reachable - chains.delay());
    return keyed && reachable - chains.delay() - keyed->known > m_d->limits.maxKeyDistance / 2;
}

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

std::size_t StreamReceiver::waiting() const
{
    return m_d->pool.size();
}

} // namespace vesk
