// The stream transport: the queries answered on HTTP worker threads while the engine belongs to
// the main thread, and the cost of sealing and of receiving datagrams, the receiver against plain
// AES-256-GCM decryption of the very same datagrams in the same run.
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

// One second of a 4 Mbit/s stream as the engine sends it: messages of about 64 KiB.
QList<QByteArray> makeMessages()
{
    std::mt19937 random(1);
    QList<QByteArray> messages;
    for (int i = 0; i < 8; ++i) {
        QByteArray message(64 * 1024, Qt::Uninitialized);
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
            sealed += sealer.seal(message);
        return sealed;
    }();
    return all;
}

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

void count(benchmark::State& state, qint64 bytes)
{
    state.SetItemsProcessed(state.iterations() * datagrams().size());
    state.SetBytesProcessed(state.iterations() * bytes);
}

qint64 payloadBytes()
{
    qint64 total = 0;
    for (const QByteArray& datagram : datagrams())
        total += datagram.size() - qint64(StreamDatagram::overhead);
    return total;
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

// Encrypt and sign: what the register spends per datagram.
static void BM_SealAndSign(benchmark::State& state)
{
    const QList<QByteArray> messages = makeMessages();
    StreamSealer sealer(streamId, key, signer);
    for (auto _ : state)
        for (const QByteArray& message : messages)
            benchmark::DoNotOptimize(sealer.seal(message));
    count(state, payloadBytes());
}
BENCHMARK(BM_SealAndSign)->Unit(benchmark::kMillisecond);

// Verify, decrypt and reassemble: what a display spends per datagram.
static void BM_ReceiveDatagrams(benchmark::State& state)
{
    const auto publicKey = signer.publicKey();
    const auto now = StreamReceiver::Clock::now();
    for (auto _ : state) {
        // A fresh receiver each round, or the second round would be all replays.
        StreamReceiver receiver(streamId, key, publicKey);
        for (const QByteArray& datagram : datagrams())
            benchmark::DoNotOptimize(receiver.addDatagram(bytesOf(datagram), now));
        if (receiver.counters().messages != 8)
            state.SkipWithError("the receiver lost messages");
    }
    count(state, payloadBytes());
}
BENCHMARK(BM_ReceiveDatagrams)->Unit(benchmark::kMillisecond);

// The floor: AES-256-GCM decryption of the same datagrams, nothing else.
static void BM_PlainGcmDecryption(benchmark::State& state)
{
    ssl::AesGcm cipher(key);
    QByteArray plain(StreamDatagram::maxPayload, Qt::Uninitialized);
    for (auto _ : state)
        for (const QByteArray& datagram : datagrams()) {
            const auto bytes = bytesOf(datagram);
            const bool ok = cipher.decrypt(bytes.first<12>(), bytes.first(20),
                StreamDatagram::ciphertext(bytes), reinterpret_cast<std::uint8_t*>(plain.data()),
                StreamDatagram::tag(bytes));
            benchmark::DoNotOptimize(ok);
        }
    count(state, payloadBytes());
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
