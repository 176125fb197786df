#include "intervalmac.h"
#include "streamreceiverprivate.h"

#include <algorithm>

namespace vesk {

using detail::PendingMessages;
using detail::ReceiverChains;
using detail::WaitingDatagrams;
using Waiting = WaitingDatagrams::Datagram;

void StreamReceiver::Private::settle(
    const ReceiverChains::Keys& keys, Clock::time_point now, QList<QByteArray>& completed)
{
    for (const auto& [interval, key] : keys) {
        if (!pool.waitsFor(interval))
            continue;
        const std::vector<Waiting> maced = pool.takeMaced(interval);
        if (!maced.empty()) {
            detail::IntervalMac mac(key);
            for (const Waiting& datagram : maced) {
                const auto bytes = bytesOf(datagram.bytes);
                if (!mac.verifies(StreamDatagram::macedPart(bytes), StreamDatagram::mac(bytes))) {
                    ++counters.forged;
                    continue;
                }
                registers = datagram.source;
                if (datagram.kind == WaitingDatagrams::Kind::anchor)
                    acceptAnchor(datagram);
                else
                    acceptManifest(datagram, now, completed);
            }
        }
        // The fragments that waited for this interval: their manifest would have claimed them.
        counters.unclaimed += pool.drop(interval);
    }
}

void StreamReceiver::Private::acceptAnchor(const Waiting& datagram)
{
    const std::optional<StreamAnchor> anchor = StreamAnchor::read(bytesOf(datagram.bytes));
    if (chains.find(anchor->chain)) {
        ++counters.replayed;
        return;
    }
    ++(chains.hold(*anchor, datagram.bytes.first(StreamAnchor::size)) ? counters.accepted
                                                                      : counters.inconsistent);
}

void StreamReceiver::Private::acceptManifest(
    const Waiting& datagram, Clock::time_point now, QList<QByteArray>& completed)
{
    const StreamDatagram& header = datagram.header;
    if (replay.seenBefore(header.counter)) {
        ++counters.replayed;
        return;
    }
    replay.mark(header.counter);
    const auto bytes = bytesOf(datagram.bytes);
    std::vector<Digest> listed(header.digestCount);
    for (std::size_t i = 0; i < listed.size(); ++i)
        std::ranges::copy(StreamDatagram::listed(bytes, i), listed[i].begin());

    PendingMessages::Message* message = pending.find(header.sequence);
    if (message) {
        bool agrees = message->fragments.size() == header.count;
        for (std::size_t i = 0; agrees && i < listed.size(); ++i)
            agrees = !message->listed[header.index + i]
                || message->digests[header.index + i] == listed[i];
        if (!agrees) {
            // MACed, so the register itself disagrees with its earlier manifest: keep neither.
            ++counters.inconsistent;
            pending.drop(header.sequence);
            return;
        }
    }
    ++counters.accepted;
    newestSequence = header.sequence;
    if (!message && !(message = pending.open(header.sequence, header.count, now)))
        return;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        message->digests[header.index + i] = listed[i];
        message->listed[header.index + i] = true;
    }
    // The fragments of the run that came before the key.
    for (std::uint16_t i = 0; i < header.digestCount; ++i)
        for (const Waiting& candidate :
            pool.takeFragments(header.sequence, std::uint16_t(header.index + i))) {
            if (candidate.header.count != header.count)
                ++counters.forged;
            else
                takeListed(bytesOf(candidate.bytes), candidate.header, candidate.digest, listed[i],
                    completed);
        }
}

void StreamReceiver::Private::takeListed(std::span<const std::uint8_t> datagram,
    const StreamDatagram& header, const Digest& digest, const Digest& listed,
    QList<QByteArray>& completed)
{
    if (digest != listed) {
        ++counters.forged;
        return;
    }
    // A fragment that waited is checked again: a copy of it may have been taken meanwhile.
    if (replay.seenBefore(header.counter)) {
        ++counters.replayed;
        return;
    }
    const std::span<const std::uint8_t> sealed = StreamDatagram::ciphertext(datagram);
    QByteArray plain(qsizetype(sealed.size()), Qt::Uninitialized);
    if (!cipher.decrypt(StreamDatagram::iv(datagram), StreamDatagram::header(datagram), sealed,
            reinterpret_cast<std::uint8_t*>(plain.data()), StreamDatagram::tag(datagram))) {
        ++counters.unsealed;
        return;
    }
    replay.mark(header.counter);
    ++counters.accepted;
    if (std::optional<QByteArray> message
        = pending.store(header.sequence, header.index, std::move(plain)))
        completed.append(std::move(*message));
}

} // namespace vesk
