// Datagrams from anybody into a display: the fuzzer's input is cut into datagrams, most of them
// sealed and signed with the keys the receiver trusts (so that the fuzzer reaches the reassembly
// and the decoder behind the signature check), some passed on as they are. Whatever comes out is
// read to the end by the decoder. Nothing may read outside its input, crash or grow without bound.
#include <vesk/decoder.h>
#include <vesk/pointer.h>
#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t streamId = 7;
const std::array<unsigned char, 32> key {};
const std::array<std::uint8_t, 32> seed { 1 };

const vesk::ssl::SigningKey& signer()
{
    static const vesk::ssl::SigningKey key = vesk::ssl::SigningKey::fromSeed(seed);
    return key;
}

// The first byte of a chunk says what to do with the rest: a raw datagram, or a header (counter,
// sequence, index, count from the chunk) with the remaining bytes as payload, sealed and signed.
QByteArray datagramOf(std::span<const std::uint8_t> chunk)
{
    if (chunk.empty() || (chunk[0] & 3) == 0)
        return QByteArray(reinterpret_cast<const char*>(chunk.data()), qsizetype(chunk.size()));
    std::array<std::uint8_t, 17> fields {};
    std::memcpy(fields.data(), chunk.data() + 1, std::min(fields.size(), chunk.size() - 1));
    const std::span<const std::uint8_t> payload = chunk.size() > 17
        ? chunk.subspan(
            17, std::min<std::size_t>(chunk.size() - 17, vesk::StreamDatagram::maxPayload))
        : std::span<const std::uint8_t>();
    vesk::StreamDatagram header;
    header.streamId = (chunk[0] & 3) == 3 ? streamId + 1 : streamId;
    header.counter = qFromLittleEndian<std::uint64_t>(fields.data());
    header.sequence = qFromLittleEndian<std::uint16_t>(fields.data() + 8) % 8;
    header.count = std::uint16_t(fields[12] % 6 + 1);
    header.index = std::uint16_t(fields[13] % header.count);
    QByteArray datagram;
    header.write(datagram);
    datagram.resize(qsizetype(vesk::StreamDatagram::overhead + payload.size()));
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
    vesk::ssl::AesGcm(key).encrypt(out.first<12>(), out.first(20), payload, out.data() + 20,
        out.subspan(20 + payload.size()).first<16>());
    signer().sign(vesk::StreamDatagram::signedPart(out), out.last<64>());
    return datagram;
}

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
    limits.maxMessageBytes = 64 * 1024;
    limits.maxPendingBytes = 128 * 1024;
    vesk::StreamReceiver receiver(streamId, key, signer().publicKey(), limits);
    vesk::Decoder decoder;
    auto now = vesk::StreamReceiver::Clock::time_point();
    // Chunks are separated by a length byte, so datagrams of any size and count can be reached.
    std::span<const std::uint8_t> input(data, size);
    while (!input.empty()) {
        const std::size_t length = std::min<std::size_t>(input[0] * 8u, input.size() - 1);
        const QByteArray datagram = datagramOf(input.subspan(1, length));
        input = input.subspan(1 + length);
        now += std::chrono::milliseconds(100);
        const auto message
            = receiver.addDatagram({ reinterpret_cast<const std::uint8_t*>(datagram.constData()),
                                       std::size_t(datagram.size()) },
                now);
        if (receiver.pendingBytes() > limits.maxPendingBytes)
            std::abort();
        if (!message)
            continue;
        if (std::size_t(message->size()) > limits.maxMessageBytes)
            std::abort();
        decoder.addMessage({ reinterpret_cast<const std::uint8_t*>(message->constData()),
            std::size_t(message->size()) });
        drain(decoder);
    }
    return 0;
}
