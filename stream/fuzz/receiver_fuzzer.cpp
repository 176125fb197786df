// Datagrams from anybody into a display. The input is a sequence of chunks, each a 16-bit length
// and that many bytes; the first byte of a chunk says what it is:
//   0  a raw datagram (the rest of the chunk)
//   1  a message sealed by the register's own sealer, sent whole, without its manifest, in
//      reverse or with a fragment left out (the next byte says which)
//   2  a fragment sealed with the stream key, its header fields from the chunk
//   3  a manifest signed with the register's key, its header fields from the chunk, listing
//      digests of the last fragments of mode 2 (or not)
// so that the fuzzer reaches the manifests, the waiting fragments, the reassembly and the decoder
// behind the signature. The keys are those of the worked example in docs/stream-protocol.md, so
// that its two datagrams (stream/fuzz/corpus) are valid seeds. Whatever comes out is read to the
// end by the decoder. Nothing may read outside its input, crash or grow without bound.
#include <vesk/decoder.h>
#include <vesk/pointer.h>
#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/streamdatagram.h>
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

constexpr std::uint32_t streamId = 0x01020304;
constexpr auto joinedAt = 60000ms;

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

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

// Header fields from the chunk's bytes 1 to 17, zero where the chunk is shorter.
StreamDatagram headerOf(std::span<const std::uint8_t> chunk, std::uint16_t maxCount)
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
    header.sentAt = joinedAt - 2s + std::chrono::milliseconds(fields[14] * 20);
    return header;
}

class Wire
{
public:
    // The datagrams a chunk stands for.
    QList<QByteArray> datagramsOf(std::span<const std::uint8_t> chunk)
    {
        const std::span<const std::uint8_t> rest = chunk.subspan(1);
        switch (chunk[0] & 3) {
        case 1:
            return message(chunk.size() > 1 ? chunk[1] : 0,
                rest.subspan(std::min<std::size_t>(1, rest.size())));
        case 2:
            return { fragment(chunk) };
        case 3:
            return { manifest(chunk) };
        default:
            return { QByteArray(
                reinterpret_cast<const char*>(rest.data()), qsizetype(rest.size())) };
        }
    }

private:
    QList<QByteArray> message(std::uint8_t how, std::span<const std::uint8_t> payload)
    {
        // Payloads are repeated to reach several fragments and manifests from a small input.
        QByteArray body(reinterpret_cast<const char*>(payload.data()), qsizetype(payload.size()));
        body = body.repeated(1 + (how >> 4) * 4);
        QList<QByteArray> datagrams
            = m_sealer.seal(body, joinedAt + std::chrono::milliseconds(how));
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

    QByteArray fragment(std::span<const std::uint8_t> chunk)
    {
        StreamDatagram header = headerOf(chunk, 70);
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

    QByteArray manifest(std::span<const std::uint8_t> chunk)
    {
        StreamDatagram header = headerOf(chunk, 70);
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
        datagram.resize(datagram.size() + qsizetype(StreamDatagram::signatureSize));
        const std::span<std::uint8_t> out(
            reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
        signer().sign(StreamDatagram::signedPart(out), out.last<StreamDatagram::signatureSize>());
        return datagram;
    }

    vesk::StreamSealer m_sealer { streamId, key(), signer() };
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
    limits.maxEarlyFragments = 32;
    vesk::StreamReceiver receiver(streamId, key(), signer().publicKey(), joinedAt, limits);
    vesk::Decoder decoder;
    Wire wire;
    auto now = vesk::StreamReceiver::Clock::time_point();
    std::span<const std::uint8_t> input(data, size);
    while (input.size() >= 2) {
        const std::size_t length = std::min<std::size_t>(
            qFromLittleEndian<std::uint16_t>(input.data()), input.size() - 2);
        const std::span<const std::uint8_t> chunk = input.subspan(2, length);
        input = input.subspan(2 + length);
        if (chunk.empty())
            continue;
        now += 50ms;
        for (const QByteArray& datagram : wire.datagramsOf(chunk)) {
            const auto message = receiver.addDatagram(bytesOf(datagram), now);
            if (receiver.pendingBytes() > limits.maxPendingBytes
                || receiver.earlyFragments() > limits.maxEarlyFragments)
                std::abort();
            if (!message)
                continue;
            if (std::size_t(message->size()) > limits.maxMessageBytes)
                std::abort();
            decoder.addMessage(bytesOf(*message));
            drain(decoder);
        }
    }
    return 0;
}
