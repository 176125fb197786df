// The stream transport: the queries answered on HTTP worker threads while the engine belongs to
// the main thread, and the cost of sealing and of receiving datagrams, the receiver against plain
// AES-256-GCM decryption of the very same fragments in the same run.
#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/stream.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>
#include <vesk/streamsealer.h>

#include <benchmark/benchmark.h>

#include <array>
#include <random>

using namespace vesk;

namespace {

Stream* engine = nullptr;
constexpr std::uint32_t streamId = 42;
const std::array<unsigned char, 32> key { 7 };
const ssl::SigningKey signer = ssl::SigningKey::generate();

// The packet sizes of the first two seconds (one group of pictures, key frame first) of the clip
// that display/tests/measure_stream_cpu.py streams: 1280x720, 25 fps, 4 Mbit/s H.264, from
//   ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 clip.mp4
// At 25 frames a second the engine sends each packet in a message of its own.
constexpr int packetSizes[]
    = { 47583, 25853, 20384, 26262, 32125, 20525, 19690, 25956, 25758, 19330, 26422, 19667, 29629,
          21645, 19504, 19700, 25510, 19564, 26617, 19713, 30351, 22757, 20699, 20247, 26725, 19514,
          27033, 19377, 25888, 19020, 25668, 18629, 27553, 20134, 18876, 29937, 21689, 19054, 19650,
          29716, 21958, 19271, 19577, 26026, 19100, 29632, 21780, 19473, 18836, 20322 };
// Metadata, codec parameters, extradata and the packet table that every message carries.
constexpr int messageOverhead = 330;

QList<QByteArray> makeMessages()
{
    std::mt19937 random(1);
    QList<QByteArray> messages;
    for (const int size : packetSizes) {
        QByteArray message(size + messageOverhead, Qt::Uninitialized);
        for (char& c : message)
            c = char(random());
        messages.append(message);
    }
    return messages;
}

const QList<QByteArray>& datagrams()
{
    static const QList<QByteArray> all = [] {
        StreamSealer sealer(streamId, key, signer);
        QList<QByteArray> sealed;
        for (const QByteArray& message : makeMessages())
            sealed += sealer.seal(message, std::chrono::milliseconds(0));
        return sealed;
    }();
    return all;
}

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

bool isFragment(const QByteArray& datagram)
{
    return StreamDatagram::read(bytesOf(datagram))->kind == StreamDatagram::Kind::fragment;
}

qint64 payloadBytes()
{
    qint64 total = 0;
    for (const QByteArray& datagram : datagrams())
        if (isFragment(datagram))
            total += datagram.size() - qint64(StreamDatagram::fragmentOverhead);
    return total;
}

// Bytes are the messages' bytes in every benchmark, so bytes_per_second compares directly.
void count(benchmark::State& state)
{
    state.SetItemsProcessed(state.iterations() * datagrams().size());
    state.SetBytesProcessed(state.iterations() * payloadBytes());
}

} // namespace

static void BM_StreamQueries(benchmark::State& state)
{
    std::array<unsigned char, 32> streamKey {};
    for (auto _ : state) {
        engine->getKey(streamKey);
        benchmark::DoNotOptimize(engine->streamId());
        benchmark::DoNotOptimize(engine->peerAddress());
        benchmark::DoNotOptimize(engine->peerPort());
    }
}
BENCHMARK(BM_StreamQueries)->Threads(1)->Threads(4);

// Encrypt, digest and sign: what the register spends on two seconds of the stream.
static void BM_SealAndSign(benchmark::State& state)
{
    const QList<QByteArray> messages = makeMessages();
    StreamSealer sealer(streamId, key, signer);
    for (auto _ : state)
        for (const QByteArray& message : messages)
            benchmark::DoNotOptimize(sealer.seal(message, std::chrono::milliseconds(0)));
    count(state);
}
BENCHMARK(BM_SealAndSign)->Unit(benchmark::kMillisecond);

// Verify the manifests, digest, decrypt and reassemble: what a display spends on the same.
static void BM_ReceiveDatagrams(benchmark::State& state)
{
    const auto publicKey = signer.publicKey();
    const auto now = StreamReceiver::Clock::now();
    for (auto _ : state) {
        // A fresh receiver each round, or the second round would be all replays.
        StreamReceiver receiver(streamId, key, publicKey);
        for (const QByteArray& datagram : datagrams())
            benchmark::DoNotOptimize(receiver.addDatagram(bytesOf(datagram), now));
        if (receiver.counters().messages != std::size(packetSizes))
            state.SkipWithError("the receiver lost messages");
    }
    count(state);
}
BENCHMARK(BM_ReceiveDatagrams)->Unit(benchmark::kMillisecond);

// The floor: AES-256-GCM decryption of the same fragments, nothing else.
static void BM_PlainGcmDecryption(benchmark::State& state)
{
    ssl::AesGcm cipher(key);
    QList<QByteArray> fragments;
    for (const QByteArray& datagram : datagrams())
        if (isFragment(datagram))
            fragments.append(datagram);
    QByteArray plain(StreamDatagram::maxPayload, Qt::Uninitialized);
    for (auto _ : state)
        for (const QByteArray& fragment : fragments) {
            const auto bytes = bytesOf(fragment);
            const bool ok = cipher.decrypt(StreamDatagram::iv(bytes), StreamDatagram::header(bytes),
                StreamDatagram::ciphertext(bytes), reinterpret_cast<std::uint8_t*>(plain.data()),
                StreamDatagram::tag(bytes));
            benchmark::DoNotOptimize(ok);
        }
    count(state);
}
BENCHMARK(BM_PlainGcmDecryption)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    Stream stream;
    stream.connectToHost(QHostAddress("127.0.0.1"), 8554);
    engine = &stream;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
