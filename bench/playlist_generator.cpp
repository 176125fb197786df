// Run from a Release tree: TZ=Europe/Berlin ./bin/vesk_playlist_bench
#include <vesk/playlist.h>

#include <benchmark/benchmark.h>

#include <random>

using namespace std::chrono_literals;

namespace {

QList<vesk::Playlist> playlists(int count)
{
    std::mt19937 random(42);
    auto pick = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    QList<vesk::Playlist> result;
    for (int i = 0; i < count; ++i) {
        vesk::Playlist playlist;
        playlist.section = "p" + QByteArray::number(i);
        // One open all-day playlist at the bottom, the rest campaigns of varied shapes above it.
        if (i > 0) {
            playlist.priority = pick(1, 5);
            playlist.starttime = QTime(pick(0, 23), pick(0, 3) * 15);
            playlist.endtime = QTime(pick(0, 23), pick(0, 3) * 15);
            playlist.days = vesk::Playlist::WeekDays(pick(1, 127));
            if (pick(0, 2) == 0) {
                playlist.startdate = QDate(2026, 1, 1).addDays(pick(0, 300));
                playlist.enddate = playlist.startdate.addDays(pick(7, 90));
            }
        }
        for (int f = 0; f < pick(1, 8); ++f) {
            playlist.files.append(
                { QByteArray::number(f), "media/clip.mp4", std::chrono::seconds(pick(5, 60)) });
        }
        result.append(playlist);
    }
    return result;
}

void nextIncremental(benchmark::State& state)
{
    vesk::Generator generator;
    generator.setPlaylists(playlists(1));
    vesk::Generator::Item item = generator.next(QDateTime(QDate(2026, 12, 24), QTime(12, 0)));
    for (auto _ : state) {
        item = generator.next(item.end);
        benchmark::DoNotOptimize(item.file);
    }
}
BENCHMARK(nextIncremental);

void computeBorders(benchmark::State& state)
{
    vesk::Generator generator;
    generator.setPlaylists(playlists(int(state.range(0))));
    // Instants spread over the year, DST changes included.
    std::vector<QDateTime> instants;
    std::mt19937 random(7);
    const QDateTime yearStart(QDate(2026, 1, 1), QTime(0, 0));
    for (int i = 0; i < 256; ++i) {
        instants.push_back(
            yearStart.addSecs(std::uniform_int_distribution<qint64>(0, 365LL * 86400 - 1)(random)));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(generator.computeBorders(instants[i++ % instants.size()]));
    }
}
BENCHMARK(computeBorders)->Arg(1)->Arg(10)->Arg(100);

} // namespace

BENCHMARK_MAIN();
