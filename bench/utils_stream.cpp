// The stream queries answered on HTTP worker threads while the engine belongs to the main thread.
#include <vesk/stream.h>

#include <benchmark/benchmark.h>

#include <array>

using namespace vesk;

namespace {
Stream* engine = nullptr;
}

static void BM_StreamQueries(benchmark::State& state)
{
    std::array<unsigned char, 32> key {};
    for (auto _ : state) {
        engine->getKey(key);
        benchmark::DoNotOptimize(engine->streamId());
        benchmark::DoNotOptimize(engine->peerAddress());
        benchmark::DoNotOptimize(engine->peerPort());
    }
}
BENCHMARK(BM_StreamQueries)->Threads(1)->Threads(4);

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
