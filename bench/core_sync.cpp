// onSync of a delivery of 1 GiB in 8 media files and a playlist, against its durable anchor: what
// the shell tools need for the same work, xxhsum -H1 over the delivery, cp -r into another
// directory, sync of the copies and xxhsum -H1 over them. Then onSync of the next delivery, which
// changed one 128 MiB file, against the same anchor of the whole delivery: once with the names in
// both TFs written "name", once with them written "./name". The disk's speed swings from one
// minute to the next, so each figure is the median of alternating pairs (the anchor, then
// onSync): the counters anchor_ms, onSync_ms and ratio. Every measurement starts with the files
// read once (a warm page cache) and no writes pending (sync).
//
//   vesk_core_bench [--benchmark_...]    data below $TMPDIR (default /tmp), removed at the end

#include <vesk/core.h>
#include <vesk/log.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int fileCount = 8;
constexpr qint64 totalBytes = qint64(1) << 30;

class BenchCore : public vesk::Core
{
public:
    explicit BenchCore(const QString& home)
        : Core(home, home + "/config.ini")
    {
    }
};

struct Delivery
{
    QTemporaryDir root;
    QString home;
    QString sync;
    QStringList names;
};

bool run(const QString& program, const QStringList& arguments, const QString& dir = {})
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// Random bytes into a file, replacing what it held.
void writeRandom(const QString& path, qint64 size)
{
    QByteArray block(1 << 20, Qt::Uninitialized);
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (qint64 written = 0; written < size; written += block.size()) {
        QRandomGenerator::global()->fillRange(
            reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        file.write(block.constData(), std::min<qint64>(block.size(), size - written));
    }
}

// With `dotted`, every name as "./name", as xxhsum writes the names it is given that way.
void writeTransactionFile(const Delivery& d, bool dotted = false)
{
    QStringList names = d.names;
    if (dotted)
        names.replaceInStrings(QRegularExpression("^"), "./");
    QProcess xxhsum;
    xxhsum.setWorkingDirectory(d.sync);
    xxhsum.start("xxhsum", QStringList { "-H1" } + names);
    xxhsum.waitForFinished(-1);
    QFile tf(d.sync + "/TF");
    tf.open(QIODevice::WriteOnly | QIODevice::Truncate);
    tf.write(xxhsum.readAllStandardOutput());
}

// Made once for all benchmarks: 8 files of random bytes and a TF from xxhsum.
Delivery* delivery()
{
    static std::unique_ptr<Delivery> instance = [] {
        auto d = std::make_unique<Delivery>();
        d->home = d->root.filePath("home");
        d->sync = d->home + "/sync_dir";
        QDir().mkpath(d->sync);
        QDir().mkpath(d->home + "/work_dir_a");
        QDir().mkpath(d->home + "/work_dir_b");
        for (int i = 0; i < fileCount; ++i) {
            const QString name = QString("media/clip%1.mp4").arg(i, 2, 10, QChar('0'));
            d->names.append(name);
            QDir().mkpath(QFileInfo(d->sync + "/" + name).absolutePath());
            writeRandom(d->sync + "/" + name, totalBytes / fileCount);
        }
        QFile playlist(d->sync + "/playlist.ini");
        playlist.open(QIODevice::WriteOnly);
        playlist.write("[placeholder]\nurl=http://example.org/idle.png\n");
        playlist.close();
        d->names.append("playlist.ini");
        writeTransactionFile(*d);
        return d;
    }();
    return instance.get();
}

fs::path homeEntry(const Delivery& d, const char* name)
{
    return fs::path((d.home + "/" + name).toStdString());
}

// The link to `clean`, and the other work directory emptied.
void resetWorkDirs(const Delivery& d, const char* clean, const char* dirty)
{
    fs::remove_all(homeEntry(d, dirty));
    fs::create_directory(homeEntry(d, dirty));
    fs::create_directories(homeEntry(d, clean));
    std::error_code error;
    fs::remove(homeEntry(d, "work_dir"), error);
    fs::create_symlink(clean, homeEntry(d, "work_dir"));
}

// Warm page cache, no writes pending: the same start for both sides.
void settle(const Delivery& d, const QString& dir)
{
    run("cat", d.names, dir);
    ::sync();
}

double seconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One run of onSync from `clean` to the emptied `dirty`, which must end with the link on `dirty`;
// 0 when it did not.
double timeOnSync(BenchCore& core, const Delivery& d, const char* clean, const char* dirty)
{
    resetWorkDirs(d, clean, dirty);
    // The engine follows the link, as after a start: the directory it plays is never rebuilt.
    core.onPlaylistChanged();
    settle(d, d.sync);
    settle(d, d.home + "/" + clean);
    QElapsedTimer timer;
    timer.start();
    core.onSync();
    const double took = seconds(timer);
    QCoreApplication::processEvents();
    return fs::read_symlink(homeEntry(d, "work_dir")) == dirty ? took : 0;
}

// The durable anchor of the whole delivery; 0 when a tool failed.
double timeAnchor(const Delivery& d)
{
    const QString copy = d.root.filePath("copy");
    QStringList copiedNames;
    for (const QString& name : d.names)
        copiedNames.append(copy + "/" + name);
    fs::remove_all(fs::path(copy.toStdString()));
    settle(d, d.sync);
    QElapsedTimer timer;
    timer.start();
    const bool ok = run("xxhsum", QStringList { "-H1" } + d.names, d.sync)
        && run("cp", { "-r", d.sync, copy }) && run("sync", copiedNames)
        && run("xxhsum", QStringList { "-H1" } + copiedNames);
    const double took = seconds(timer);
    fs::remove_all(fs::path(copy.toStdString()));
    return ok ? took : 0;
}

// Alternating pairs, the anchor first; onSync's time is the iteration's.
void pairs(benchmark::State& state, const char* clean, const char* dirty)
{
    Delivery& d = *delivery();
    BenchCore core(d.home);
    std::vector<double> anchors, syncs, ratios;
    for (auto _ : state) {
        const double anchor = timeAnchor(d);
        const double sync = timeOnSync(core, d, clean, dirty);
        if (anchor == 0 || sync == 0) {
            state.SkipWithError("a tool failed, or the delivery was not switched in");
            break;
        }
        state.SetIterationTime(sync);
        anchors.push_back(anchor * 1000);
        syncs.push_back(sync * 1000);
        ratios.push_back(sync / anchor);
    }
    if (!ratios.empty()) {
        state.counters["anchor_ms"] = median(anchors);
        state.counters["onSync_ms"] = median(syncs);
        state.counters["ratio"] = median(ratios);
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}

// The whole delivery into an empty work directory.
void BM_OnSyncVsAnchor(benchmark::State& state)
{
    pairs(state, "work_dir_a", "work_dir_b");
}

// The next delivery changed one of the eight files; the played directory holds the one before.
void oneChanged(benchmark::State& state, bool dotted)
{
    Delivery& d = *delivery();
    {
        BenchCore core(d.home);
        fs::remove_all(homeEntry(d, "work_dir_a"));
        resetWorkDirs(d, "work_dir_a", "work_dir_b");
        writeTransactionFile(d, dotted);
        core.onSync();
        QCoreApplication::processEvents();
    }
    writeRandom(d.sync + "/" + d.names.first(), totalBytes / fileCount);
    writeTransactionFile(d, dotted);
    pairs(state, "work_dir_b", "work_dir_a");
}

void BM_OnSyncOneChangedVsAnchor(benchmark::State& state)
{
    oneChanged(state, false);
}

// The same with both TFs listing "./media/clip00.mp4", as a server that runs xxhsum -H1 ./* writes.
void BM_OnSyncOneChangedDottedVsAnchor(benchmark::State& state)
{
    oneChanged(state, true);
}

BENCHMARK(BM_OnSyncVsAnchor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_OnSyncOneChangedVsAnchor)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(BM_OnSyncOneChangedDottedVsAnchor)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    vesk::log::Manager::setLogLevel(vesk::log::Level::error);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
