// Encoding and decoding throughput in payload bytes per second, beside memcpy of the same
// payload bytes, for datagram-sized and large packets. Arguments: packet size, packets per message.
#include <vesk/format.h>
#include <vesk/log/manager.h>

#include <benchmark/benchmark.h>

#include <QJsonObject>

#include <cstring>
#include <vector>

namespace {

constexpr int packetsPerMessage = 16;

// The encoder's debug line per message would measure the log, not the format. Loggers take the
// level when created, so set it before the first encoder.
const bool quiet = [] {
    vesk::log::Manager::setLogLevel(vesk::log::Level::error);
    return true;
}();

struct Stream
{
    vesk::CodecParametersPointer parameters;
    std::vector<vesk::PacketPointer> packets;
};

Stream makeStream(int packetSize, int count)
{
    Stream stream;
    stream.parameters.reset(avcodec_parameters_alloc());
    stream.parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    stream.parameters->codec_id = AV_CODEC_ID_H264;
    stream.parameters->width = 1920;
    stream.parameters->height = 1080;
    stream.parameters->extradata
        = static_cast<std::uint8_t*>(av_mallocz(40 + AV_INPUT_BUFFER_PADDING_SIZE));
    stream.parameters->extradata_size = 40;
    for (int i = 0; i < count; ++i) {
        vesk::PacketPointer packet(av_packet_alloc());
        av_new_packet(packet.get(), packetSize);
        std::memset(packet->data, i, static_cast<std::size_t>(packetSize));
        packet->dts = i;
        packet->pts = i + 2;
        packet->flags = i == 0 ? AV_PKT_FLAG_KEY : 0;
        stream.packets.push_back(std::move(packet));
    }
    return stream;
}

const QJsonDocument metadata(QJsonObject { { "stream", 0 }, { "timeBase", "1/90000" } });

void encode(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    const Stream stream = makeStream(size, packetsPerMessage);
    vesk::Encoder encoder;
    encoder.setHeader(metadata, stream.parameters.get());
    for (auto _ : state) {
        for (const auto& packet : stream.packets)
            encoder.addPacket(packet.get(), false);
        QByteArray message = encoder.takeResult();
        benchmark::DoNotOptimize(message.data());
    }
    state.SetBytesProcessed(state.iterations() * size * packetsPerMessage);
}

void decode(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    const Stream stream = makeStream(size, packetsPerMessage);
    vesk::Encoder encoder;
    encoder.setHeader(metadata, stream.parameters.get());
    for (const auto& packet : stream.packets)
        encoder.addPacket(packet.get(), false);
    const QByteArray message = encoder.takeResult();
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(message.constData()),
        static_cast<std::size_t>(message.size()));

    vesk::Decoder decoder;
    vesk::PacketPointer packet(av_packet_alloc());
    AVCodecParameters* parameters = nullptr;
    for (auto _ : state) {
        decoder.addMessage(bytes);
        while (decoder.readPacket(packet.get(), &parameters) == 0)
            benchmark::DoNotOptimize(packet->data);
    }
    avcodec_parameters_free(&parameters);
    state.SetBytesProcessed(state.iterations() * size * packetsPerMessage);
}

void copy(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    const Stream stream = makeStream(size, packetsPerMessage);
    std::vector<std::uint8_t> target(static_cast<std::size_t>(size) * packetsPerMessage);
    for (auto _ : state) {
        std::uint8_t* out = target.data();
        for (const auto& packet : stream.packets) {
            std::memcpy(out, packet->data, static_cast<std::size_t>(packet->size));
            out += packet->size;
        }
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size * packetsPerMessage);
}

} // namespace

BENCHMARK(copy)->Name("memcpy")->Arg(1400)->Arg(64 * 1024);
BENCHMARK(encode)->Name("encode")->Arg(1400)->Arg(64 * 1024);
BENCHMARK(decode)->Name("decode")->Arg(1400)->Arg(64 * 1024);

BENCHMARK_MAIN();
