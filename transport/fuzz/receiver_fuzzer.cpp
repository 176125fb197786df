// Datagrams from anybody into a display, beside the register's own stream. The input is a sequence
// of chunks, each a 16-bit length and that many bytes. The first byte of a chunk lets time pass
// (its top five bits, in steps of 50 ms: the register discloses its keys and anchors meanwhile,
// as it does at the start of every interval) and says what the rest is (its low three bits):
//   0, 6, 7  a raw datagram (the rest of the chunk)
//   1  a message sealed by the register's own sealer now, sent whole, without its manifest, in
//      reverse or with a fragment left out (the next byte says which)
//   2  a fragment sealed with the stream key, its header fields from the chunk
//   3  a manifest MACed under the register's own key of an interval near now, its header fields
//      from the chunk, listing digests of the last fragments of mode 2 (or not)
//   4  a key datagram of an interval near now, the key the register's or changed
//   5  an anchor datagram, its fields from the chunk, signed by the register and MACed under its
//      key of an interval near now
// so that the fuzzer reaches the waiting pool, the MAC and key checks, the reassembly and the
// decoder behind them. The register is that of the worked example of docs/stream-protocol.md,
// and the display joins with its answer at 538950 ms, so that the example's datagrams
// (transport/fuzz/corpus/worked-example) are valid seeds. Whatever comes out is read to the end by
// the decoder. Nothing may read outside its input, crash or grow without bound.
#include "intervalmac.h"
#include "keychain.h"

#include <vesk/decoder.h>
#include <vesk/pointer.h>
#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/streamanchor.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamdisclosure.h>
#include <vesk/streamreceiver.h>
#include <vesk/streamsealer.h>

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <numeric>

namespace {

using namespace std::chrono_literals;
using vesk::StreamDatagram;
using vesk::detail::KeyChain;

constexpr std::uint32_t streamId = 0x01020304;
constexpr auto joinedAt = 538950ms;

const std::array<unsigned char, 32>& key()
{
    static const std::array<unsigned char, 32> bytes = [] {
        std::array<unsigned char, 32> k {};
        std::iota(k.begin(), k.end(), 0);
        return k;
    }();
    return bytes;
}

const vesk::ssl::SigningKey& signer()
{
    static const vesk::ssl::SigningKey signing
        = vesk::ssl::SigningKey::fromSeed(std::array<std::uint8_t, 32> { 0x9d, 0x61, 0xb1, 0x9d,
            0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a, 0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49,
            0xc5, 0x69, 0x7b, 0x32, 0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60 });
    return signing;
}

KeyChain::Key top(std::uint8_t first)
{
    KeyChain::Key k;
    std::iota(k.begin(), k.end(), first);
    return k;
}

// The register's chains 0 and 1, as its sealer draws them.
const KeyChain& chain(std::uint64_t interval)
{
    static const KeyChain first(0, 0, 6000, top(0x20));
    static const KeyChain second(1, 6000, 6000, top(0x40));
    return interval < 6000 ? first : second;
}

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

QByteArray maced(QByteArray bytes, std::uint64_t interval)
{
    const StreamDatagram::Mac mac
        = vesk::detail::IntervalMac(chain(interval).keyOf(interval)).of(bytesOf(bytes));
    bytes.append(reinterpret_cast<const char*>(mac.data()), qsizetype(mac.size()));
    return bytes;
}

// Header fields from the chunk's bytes 1 to 17, zero where the chunk is shorter.
StreamDatagram headerOf(
    std::span<const std::uint8_t> chunk, std::uint16_t maxCount, std::chrono::milliseconds now)
{
    std::array<std::uint8_t, 17> fields {};
    std::memcpy(fields.data(), chunk.data() + 1, std::min(fields.size(), chunk.size() - 1));
    StreamDatagram header;
    header.streamId = streamId;
    header.counter = qFromLittleEndian<std::uint64_t>(fields.data());
    header.sequence = qFromLittleEndian<std::uint16_t>(fields.data() + 8) % 8;
    header.count
        = std::uint16_t(qFromLittleEndian<std::uint16_t>(fields.data() + 10) % maxCount + 1);
    header.index
        = std::uint16_t(qFromLittleEndian<std::uint16_t>(fields.data() + 12) % header.count);
    header.sentAt = now - std::chrono::milliseconds(fields[14] * 4);
    return header;
}

class Wire
{
public:
    Wire()
    {
        m_sealer.seal("a", 1000ms);
        m_sealer.seal(QByteArray(1201, 'b'), 2000ms);
        m_sealer.disclose(538900ms);
    }

    vesk::StreamReceiver::Join answer()
    {
        const vesk::StreamSealer::Joining joining = m_sealer.joining(joinedAt);
        return { joinedAt, {}, {}, joining.anchor, joining.next, joining.key };
    }

    // What the register sends by itself until `now`: keys and anchors.
    QList<QByteArray> disclosed(std::chrono::milliseconds now) { return m_sealer.disclose(now); }

    // The datagrams a chunk stands for, at the register's time `now`.
    QList<QByteArray> datagramsOf(
        std::span<const std::uint8_t> chunk, std::chrono::milliseconds now)
    {
        const std::span<const std::uint8_t> rest = chunk.subspan(1);
        switch (chunk[0] & 7) {
        case 1:
            return message(rest.empty() ? 0 : rest[0],
                rest.subspan(std::min<std::size_t>(1, rest.size())), now);
        case 2:
            return { fragment(chunk, now) };
        case 3:
            return { manifest(chunk, now) };
        case 4:
            return { disclosure(rest, now) };
        case 5:
            return { anchor(rest, now) };
        default:
            return { QByteArray(
                reinterpret_cast<const char*>(rest.data()), qsizetype(rest.size())) };
        }
    }

private:
    static std::uint64_t near(std::span<const std::uint8_t> rest, std::chrono::milliseconds now)
    {
        const std::uint64_t interval = std::uint64_t(now / 100ms);
        return interval - std::min<std::uint64_t>(interval, rest.empty() ? 0 : rest[0] % 8);
    }

    QList<QByteArray> message(
        std::uint8_t how, std::span<const std::uint8_t> payload, std::chrono::milliseconds now)
    {
        // Payloads are repeated to reach several fragments and manifests from a small input.
        QByteArray body(reinterpret_cast<const char*>(payload.data()), qsizetype(payload.size()));
        body = body.repeated(1 + (how >> 4) * 4);
        QList<QByteArray> datagrams = m_sealer.seal(body, now);
        if (datagrams.isEmpty())
            return datagrams;
        switch (how & 3) {
        case 1:
            datagrams.removeFirst();
            break;
        case 2:
            std::reverse(datagrams.begin(), datagrams.end());
            break;
        case 3:
            datagrams.removeAt(datagrams.size() / 2);
            break;
        }
        return datagrams;
    }

    QByteArray fragment(std::span<const std::uint8_t> chunk, std::chrono::milliseconds now)
    {
        StreamDatagram header = headerOf(chunk, 70, now);
        header.kind = StreamDatagram::Kind::fragment;
        const std::span<const std::uint8_t> payload = chunk.size() > 18
            ? chunk.subspan(
                18, std::min<std::size_t>(chunk.size() - 18, StreamDatagram::maxPayload))
            : std::span<const std::uint8_t>();
        QByteArray datagram;
        header.write(datagram);
        datagram.resize(qsizetype(StreamDatagram::fragmentOverhead + payload.size()));
        const std::span<std::uint8_t> out(
            reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
        m_cipher.encrypt(StreamDatagram::iv(out), StreamDatagram::header(out), payload,
            out.data() + StreamDatagram::headerSize, out.last<StreamDatagram::tagSize>());
        m_recent.push_back(StreamDatagram::digestOf(out));
        if (m_recent.size() > 8)
            m_recent.pop_front();
        return datagram;
    }

    QByteArray manifest(std::span<const std::uint8_t> chunk, std::chrono::milliseconds now)
    {
        StreamDatagram header = headerOf(chunk, 70, now);
        header.kind = StreamDatagram::Kind::manifest;
        const std::size_t room = std::size_t(header.count - header.index);
        header.digestCount = std::uint16_t(std::clamp<std::size_t>(
            chunk.size() > 16 ? chunk[16] % 65 : 1, 1, std::min(room, StreamDatagram::maxDigests)));
        QByteArray datagram;
        header.write(datagram);
        for (std::size_t i = 0; i < header.digestCount; ++i) {
            StreamDatagram::Digest digest {};
            if (!m_recent.empty())
                digest = m_recent[(i + (chunk.size() > 17 ? chunk[17] : 0)) % m_recent.size()];
            datagram.append(reinterpret_cast<const char*>(digest.data()), qsizetype(digest.size()));
        }
        return maced(datagram, std::uint64_t(header.sentAt / 100ms));
    }

    QByteArray disclosure(std::span<const std::uint8_t> rest, std::chrono::milliseconds now)
    {
        const std::uint64_t interval
            = near(rest, now) - std::min<std::uint64_t>(3, near(rest, now));
        vesk::StreamDisclosure key { streamId, std::uint32_t(interval >= 6000), interval,
            chain(interval).keyOf(interval) };
        if (rest.size() > 1)
            key.key[rest[1] % 32] ^= rest.size() > 2 ? rest[2] : 1;
        return key.write();
    }

    QByteArray anchor(std::span<const std::uint8_t> rest, std::chrono::milliseconds now)
    {
        std::array<std::uint8_t, 16> fields {};
        std::memcpy(fields.data(), rest.data(), std::min(fields.size(), rest.size()));
        vesk::StreamAnchor anchor { streamId, qFromLittleEndian<std::uint32_t>(fields.data() + 1),
            qFromLittleEndian<std::uint32_t>(fields.data() + 5),
            qFromLittleEndian<std::uint16_t>(fields.data() + 9) % 8000u + 1, 100ms,
            std::uint16_t(fields[11] % 2 + 3), {}, {} };
        QByteArray bytes = anchor.write(signer());
        const std::uint64_t interval = near(rest, now);
        std::uint8_t sent[8];
        qToLittleEndian(std::uint64_t(interval * 100), sent);
        bytes.append(reinterpret_cast<const char*>(sent), 8);
        return maced(bytes, interval);
    }

    vesk::StreamSealer m_sealer { streamId, key(), signer(), vesk::StreamSealer::Schedule(),
        [first = std::uint8_t(0x20)](std::span<std::uint8_t> out) mutable {
            std::iota(out.begin(), out.end(), first);
            first += 0x20;
        } };
    vesk::ssl::AesGcm m_cipher { key() };
    std::deque<StreamDatagram::Digest> m_recent;
};

void drain(vesk::Decoder& decoder)
{
    vesk::PacketPointer packet(av_packet_alloc());
    for (int calls = 0; calls < 4 * 65536; ++calls) {
        AVCodecParameters* parameters = nullptr;
        const int ret = decoder.readPacket(packet.get(), &parameters);
        avcodec_parameters_free(&parameters);
        if (ret == AVERROR(EAGAIN))
            return;
        if (ret != 0)
            std::abort();
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    vesk::StreamReceiver::Limits limits;
    limits.maxMessageBytes = 128 * 1024;
    limits.maxPendingBytes = 256 * 1024;
    limits.maxWaiting = 64;
    limits.maxWaitingBytes = 64 * 1024;
    limits.maxWaitingPerInterval = 16;
    limits.seed = 1;
    vesk::StreamReceiver receiver(streamId, key(), signer().publicKey(), limits);
    vesk::Decoder decoder;
    Wire wire;
    const auto joined = vesk::StreamReceiver::Clock::time_point(100s);
    vesk::StreamReceiver::Join join = wire.answer();
    join.asked = join.answered = joined;
    if (receiver.join(join) != vesk::StreamReceiver::JoinError::none)
        std::abort();
    auto clock = joinedAt;
    std::span<const std::uint8_t> input(data, size);
    const auto take = [&](const QByteArray& datagram) {
        for (const QByteArray& message : receiver.addDatagram(
                 bytesOf(datagram), datagram.size() % 2, joined + (clock - joinedAt))) {
            if (std::size_t(message.size()) > limits.maxMessageBytes)
                std::abort();
            decoder.addMessage(bytesOf(message));
            drain(decoder);
        }
        if (receiver.pendingBytes() > limits.maxPendingBytes
            || receiver.waiting() > 2 * limits.maxWaiting)
            std::abort();
    };
    while (input.size() >= 2) {
        const std::size_t length = std::min<std::size_t>(
            qFromLittleEndian<std::uint16_t>(input.data()), input.size() - 2);
        const std::span<const std::uint8_t> chunk = input.subspan(2, length);
        input = input.subspan(2 + length);
        if (chunk.empty())
            continue;
        for (const auto until = clock + 50ms * (chunk[0] >> 3); clock < until;) {
            clock = std::min(until, (clock / 100ms + 1) * 100ms);
            for (const QByteArray& datagram : wire.disclosed(clock))
                take(datagram);
        }
        for (const QByteArray& datagram : wire.datagramsOf(chunk, clock))
            take(datagram);
    }
    receiver.finish();
    return 0;
}
