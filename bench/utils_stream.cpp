// The stream transport: the queries answered on HTTP worker threads while the engine belongs to
// the main thread, the cost of sealing and of receiving datagrams, the receiver against plain
// AES-256-GCM decryption of the very same fragments in the same run, and what each kind of
// forgery costs a display (docs/stream-protocol.md, section 5, quotes these).
#include "intervalmac.h"

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/stream.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamdisclosure.h>
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

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

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

using namespace std::chrono_literals;
constexpr auto joined = 60000ms;
const auto localJoined = StreamReceiver::Clock::time_point(1000s);

// Two seconds of the stream as a display receives it, in order, with the keys the register
// discloses meanwhile and after: each message sealed when it is due, 40 ms apart.
struct Wire
{
    std::vector<std::pair<std::chrono::milliseconds, QByteArray>> datagrams;
    StreamSealer::Joining joining;
};

const Wire& wire()
{
    static const Wire all = [] {
        StreamSealer sealer(streamId, key, signer);
        Wire w;
        sealer.disclose(joined);
        w.joining = sealer.joining(joined);
        auto at = joined;
        for (const QByteArray& message : makeMessages()) {
            for (const QByteArray& datagram : sealer.disclose(at))
                w.datagrams.emplace_back(at, datagram);
            for (const QByteArray& datagram : sealer.seal(message, at))
                w.datagrams.emplace_back(at, datagram);
            at += 40ms;
        }
        for (const auto end = at + 400ms; at < end; at += 100ms)
            for (const QByteArray& datagram : sealer.disclose(at))
                w.datagrams.emplace_back(at, datagram);
        return w;
    }();
    return all;
}

QList<QByteArray> datagrams()
{
    QList<QByteArray> sealed;
    for (const auto& [at, datagram] : wire().datagrams)
        sealed.append(datagram);
    return sealed;
}

// The register's key datagram of an interval of those two seconds.
QByteArray keyOf(std::uint64_t interval)
{
    for (const auto& [at, datagram] : wire().datagrams)
        if (const auto key = StreamDisclosure::read(bytesOf(datagram));
            key && key->interval == interval)
            return datagram;
    return {};
}

std::unique_ptr<StreamReceiver> joinedReceiver(StreamReceiver::Limits limits = {})
{
    auto receiver = std::make_unique<StreamReceiver>(streamId, key, signer.publicKey(), limits);
    const StreamSealer::Joining& joining = wire().joining;
    receiver->join(
        { joining.clock, localJoined, localJoined, joining.anchor, joining.next, joining.key });
    return receiver;
}

bool isFragment(const QByteArray& datagram)
{
    const auto header = StreamDatagram::read(bytesOf(datagram));
    return header && header->kind == StreamDatagram::Kind::fragment;
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

// Encrypt, digest and MAC: what the register spends on two seconds of the stream.
static void BM_Seal(benchmark::State& state)
{
    const QList<QByteArray> messages = makeMessages();
    StreamSealer sealer(streamId, key, signer);
    for (auto _ : state)
        for (const QByteArray& message : messages)
            benchmark::DoNotOptimize(sealer.seal(message, joined));
    count(state);
}
BENCHMARK(BM_Seal)->Unit(benchmark::kMillisecond);

// Wait, check the MACs and the keys, digest, decrypt and reassemble: what a display spends on
// the same.
static void BM_ReceiveDatagrams(benchmark::State& state)
{
    for (auto _ : state) {
        // A fresh receiver each round, or the second round would be all replays.
        state.PauseTiming();
        auto receiver = joinedReceiver();
        state.ResumeTiming();
        for (const auto& [at, datagram] : wire().datagrams)
            benchmark::DoNotOptimize(
                receiver->addDatagram(bytesOf(datagram), 1, localJoined + (at - joined)));
        if (receiver->counters().messages != std::size(packetSizes))
            state.SkipWithError("the receiver lost messages");
    }
    count(state);
}
BENCHMARK(BM_ReceiveDatagrams)->Unit(benchmark::kMillisecond);

// A forged manifest of 112 bytes as a flood sends it, in the interval it claims: it waits, and
// its MAC is checked when the key comes. Per forgery: arrival and MAC check together.
static void BM_ForgedManifests(benchmark::State& state)
{
    constexpr int perInterval = 4096;
    QList<QByteArray> flood;
    StreamDatagram header;
    header.kind = StreamDatagram::Kind::manifest;
    header.streamId = streamId;
    header.count = 4;
    header.digestCount = 4;
    header.sentAt = joined + 100ms;
    for (int i = 0; i < perInterval; ++i) {
        header.counter = std::uint64_t(i) << 20;
        QByteArray datagram;
        header.write(datagram);
        flood.append(datagram + QByteArray(64 + 16, char(i)));
    }
    const QByteArray disclosure = keyOf(601);
    for (auto _ : state) {
        state.PauseTiming();
        auto receiver = joinedReceiver();
        state.ResumeTiming();
        for (const QByteArray& datagram : flood)
            receiver->addDatagram(bytesOf(datagram), 2, localJoined + 100ms);
        receiver->addDatagram(bytesOf(disclosure), 1, localJoined + 400ms);
        if (receiver->counters().forged != perInterval)
            state.SkipWithError("not every forgery was checked");
    }
    state.SetItemsProcessed(state.iterations() * perInterval);
}
BENCHMARK(BM_ForgedManifests)->Unit(benchmark::kMillisecond);

// The MAC check alone, of the same 112 bytes and of the largest manifest, 1072.
static void BM_IntervalMac(benchmark::State& state)
{
    detail::IntervalMac mac(detail::KeyChain::Key { 1 });
    const QByteArray datagram(int(state.range(0)), 'm');
    for (auto _ : state)
        benchmark::DoNotOptimize(mac.verifies(
            StreamDatagram::macedPart(bytesOf(datagram)), StreamDatagram::mac(bytesOf(datagram))));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntervalMac)->Arg(112)->Arg(1072);

// A forged key of the interval after the newest held: one hash down the chain, then refused.
static void BM_ForgedKey(benchmark::State& state)
{
    auto receiver = joinedReceiver();
    const StreamDisclosure held = *StreamDisclosure::read(bytesOf(wire().joining.key));
    StreamDisclosure forged = held;
    forged.interval += 1;
    const QByteArray datagram = forged.write();
    for (auto _ : state)
        receiver->addDatagram(bytesOf(datagram), 2, localJoined + 500ms);
    if (receiver->counters().forged != std::uint64_t(state.iterations()))
        state.SkipWithError("the key was not checked");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ForgedKey);

// The digest of a full fragment, taken of every fragment on arrival.
static void BM_FragmentDigest(benchmark::State& state)
{
    const QByteArray fragment(int(StreamDatagram::maxFragmentSize), 'f');
    for (auto _ : state)
        benchmark::DoNotOptimize(StreamDatagram::digestOf(bytesOf(fragment)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FragmentDigest);

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
