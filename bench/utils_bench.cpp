// What a REST request, a heartbeat and a content delivery cost in the utility library.
#include <vesk/utils.h>

#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>

#include <filesystem>

using namespace vesk;
namespace fs = std::filesystem;

namespace {

fs::path pathIn(const QTemporaryDir& dir, const QString& name)
{
    return fs::path(dir.filePath(name).toStdString());
}

} // namespace

// One REST request: a fresh pair, the agreement, the DER of our key and the encrypted answer.
static void BM_RestExchange(benchmark::State& state)
{
    const auto peer = ssl::generateKeyPairEC().second.der();
    const QByteArray answer(200, 'j');
    for (auto _ : state) {
        const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
        const ssl::SharedKey key = ssl::deriveKey(privateKey, ssl::PublicKey::fromDer(peer));
        benchmark::DoNotOptimize(publicKey.der());
        benchmark::DoNotOptimize(ssl::encryptWithGcm(key.bytes(), answer));
    }
}
BENCHMARK(BM_RestExchange);

static void BM_EncryptWithGcm(benchmark::State& state)
{
    ssl::SharedKey key;
    key.trySetKey(QByteArray(32, 'k'));
    const QByteArray plaintext(state.range(0), 'p');
    for (auto _ : state)
        benchmark::DoNotOptimize(ssl::encryptWithGcm(key.bytes(), plaintext));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncryptWithGcm)->Arg(64)->Arg(64 << 10);

// Dominated by the two flushes to disk.
static void BM_Save2File(benchmark::State& state)
{
    QTemporaryDir dir;
    const fs::path target = pathIn(dir, "token");
    const QByteArray content(16, 't');
    for (auto _ : state)
        file::save2file(target, content, 0644);
}
BENCHMARK(BM_Save2File)->UseRealTime();

static void BM_Used(benchmark::State& state)
{
    QTemporaryDir dir;
    const fs::path target = pathIn(dir, "TF");
    file::save2file(target, "tf", 0644);
    for (auto _ : state)
        benchmark::DoNotOptimize(file::used(target));
}
BENCHMARK(BM_Used);

// A delivery of state.range(0) files of 1 MiB each into a work directory.
static void BM_Sync(benchmark::State& state)
{
    QTemporaryDir dir;
    const fs::path source = pathIn(dir, "sync");
    const fs::path target = pathIn(dir, "work");
    fs::create_directories(source);
    fs::create_directories(target);
    QList<QString> names;
    const QByteArray content(1 << 20, 'm');
    for (int i = 0; i < state.range(0); ++i) {
        names << QString("media/clip%1.mp4").arg(i);
        fs::create_directories(source / "media");
        file::save2file(source / names.last().toStdString(), content, 0644);
    }
    for (auto _ : state)
        file::sync(target, source, names);
    state.SetBytesProcessed(state.iterations() * state.range(0) * content.size());
}
BENCHMARK(BM_Sync)->Arg(20)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
