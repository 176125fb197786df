// onSync of a delivery of 1 GiB in 20 media files and a playlist, against what the shell tools need
// for the same work: xxhsum over the delivery, cp -r into another directory, xxhsum over the copy
// (and once more with the copy flushed to disk, which the synchronisation does before it switches).
// The files are read once before timing, so both sides start from a warm page cache.
//
//   vesk_core_bench [--benchmark_...]    data below $TMPDIR (default /tmp), removed at the end

#include <vesk/core.h>
#include <vesk/log.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

constexpr int fileCount = 20;
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

// Made once for all benchmarks: 20 files of random bytes and a TF from xxhsum.
Delivery* delivery()
{
    static std::unique_ptr<Delivery> instance = [] {
        auto d = std::make_unique<Delivery>();
        d->home = d->root.filePath("home");
        d->sync = d->home + "/sync_dir";
        QDir().mkpath(d->sync);
        QDir().mkpath(d->home + "/work_dir_a");
        QDir().mkpath(d->home + "/work_dir_b");
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < fileCount; ++i) {
            const QString name = QString("media/clip%1.mp4").arg(i, 2, 10, QChar('0'));
            d->names.append(name);
            QDir().mkpath(QFileInfo(d->sync + "/" + name).absolutePath());
            QFile file(d->sync + "/" + name);
            file.open(QIODevice::WriteOnly);
            for (qint64 written = 0; written < totalBytes / fileCount; written += block.size()) {
                QRandomGenerator::global()->fillRange(
                    reinterpret_cast<quint32*>(block.data()), block.size() / 4);
                file.write(block.constData(),
                    std::min<qint64>(block.size(), totalBytes / fileCount - written));
            }
        }
        QFile playlist(d->sync + "/playlist.ini");
        playlist.open(QIODevice::WriteOnly);
        playlist.write("[placeholder]\nurl=http://example.org/idle.png\n");
        playlist.close();
        d->names.append("playlist.ini");
        QProcess xxhsum;
        xxhsum.setWorkingDirectory(d->sync);
        xxhsum.start("xxhsum", QStringList { "-H1" } + d->names);
        xxhsum.waitForFinished(-1);
        QFile tf(d->sync + "/TF");
        tf.open(QIODevice::WriteOnly);
        tf.write(xxhsum.readAllStandardOutput());
        return d;
    }();
    return instance.get();
}

// Link to an empty A, nothing in B: every run copies the whole delivery.
void resetWorkDirs(const Delivery& d)
{
    fs::remove_all(fs::path((d.home + "/work_dir_a").toStdString()));
    fs::remove_all(fs::path((d.home + "/work_dir_b").toStdString()));
    fs::create_directory(fs::path((d.home + "/work_dir_a").toStdString()));
    fs::create_directory(fs::path((d.home + "/work_dir_b").toStdString()));
    std::error_code error;
    fs::remove(fs::path((d.home + "/work_dir").toStdString()), error);
    fs::create_symlink("work_dir_a", fs::path((d.home + "/work_dir").toStdString()));
}

void BM_OnSync(benchmark::State& state)
{
    Delivery& d = *delivery();
    BenchCore core(d.home);
    for (auto _ : state) {
        state.PauseTiming();
        resetWorkDirs(d);
        run("cat", d.names, d.sync);
        state.ResumeTiming();
        core.onSync();
        state.PauseTiming();
        if (fs::read_symlink(fs::path((d.home + "/work_dir").toStdString())) != "work_dir_b") {
            state.SkipWithError("the delivery was not switched in");
        }
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
}

// With `flush`, the copies are also written through to the disk (sync on each copied file), as
// the synchronisation does before it switches the link.
void shellTools(benchmark::State& state, bool flush)
{
    Delivery& d = *delivery();
    const QString copy = d.root.filePath("copy");
    QStringList copiedNames;
    for (const QString& name : d.names) {
        copiedNames.append(copy + "/" + name);
    }
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(fs::path(copy.toStdString()));
        run("cat", d.names, d.sync);
        state.ResumeTiming();
        const bool ok = run("xxhsum", QStringList { "-H1" } + d.names, d.sync)
            && run("cp", { "-r", d.sync, copy }) && (!flush || run("sync", copiedNames))
            && run("xxhsum", QStringList { "-H1" } + copiedNames);
        if (!ok) {
            state.SkipWithError("a tool failed");
        }
    }
    fs::remove_all(fs::path(copy.toStdString()));
    state.SetBytesProcessed(state.iterations() * totalBytes);
}

void BM_ShellTools(benchmark::State& state)
{
    shellTools(state, false);
}

void BM_ShellToolsFlushed(benchmark::State& state)
{
    shellTools(state, true);
}

BENCHMARK(BM_OnSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ShellTools)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ShellToolsFlushed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

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
