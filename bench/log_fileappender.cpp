// Lines per second through a FileAppender, beside the same number of plain write(2) calls of
// lines of the same length to a file opened the same way (O_WRONLY | O_APPEND), so that the
// appender's overhead reads as the ratio of the two rates:
//
//   BM_Write2                 the floor: one write(2) per line
//   BM_FileAppenderWriteLine  + a question to the inotify queue (one epoll_wait(2) of no time)
//                             before every line, the size counted, rotation, locking
//   BM_FileAppenderWriteLineUnwatched
//                             the same with no inotify watch allowed: a look at the path
//                             (statx(2)) before every line instead, as where inotify cannot be had
//   BM_FileAppenderLog        + Appender::format (local time stamp, level field) and UTF-8
//   BM_LoggerSuppressed       a Logger::info call below the threshold, which still formats
//
// Files go to a fresh directory below $VESK_BENCH_DIR (default: the system's temporary
// directory) and are removed afterwards. The appender rotates at 5,000,000 bytes keeping 5 files,
// as the service does by default; the write(2) file is truncated at the same size.

#include <vesk/log.h>

#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace {

using namespace vesk::log;
using namespace Qt::StringLiterals;

constexpr int maxFileSize = 5000; // thousands of bytes, the service's default
constexpr int maxFiles = 5;
const QString loggerName = u"vesk.core"_s;
const QString message = u"creating new listener at 10.0.0.1 with port 49152"_s;

QTemporaryDir& benchDir()
{
    static QTemporaryDir dir(
        qEnvironmentVariable("VESK_BENCH_DIR", QDir::tempPath()) + u"/vesk-log-bench-XXXXXX"_s);
    if (!dir.isValid())
        throw std::runtime_error("cannot create the benchmark directory");
    return dir;
}

// The bytes that the appender writes for one message, line end included.
QByteArray sampleLine()
{
    return Appender::format(Level::info, loggerName, message).toUtf8() + '\n';
}

void BM_Write2(benchmark::State& state)
{
    const QByteArray path = (benchDir().path() + u"/write2.log"_s).toLocal8Bit();
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        state.SkipWithError("cannot open the file");
        return;
    }
    const QByteArray line = sampleLine();
    qint64 written = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(::write(fd, line.constData(), size_t(line.size())));
        written += line.size();
        if (written >= qint64(maxFileSize) * 1000) {
            if (::ftruncate(fd, 0) != 0) {
                state.SkipWithError("cannot truncate the file");
                break;
            }
            written = 0;
        }
    }
    ::close(fd);
    ::unlink(path.constData());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * line.size());
}

void writeLines(benchmark::State& state, int maxWatches)
{
    QTemporaryDir dir(benchDir().path() + u"/writeline-XXXXXX"_s);
    FileAppender appender(dir.path() + u"/morlen-vesk.log"_s, maxFileSize, maxFiles,
        std::chrono::seconds(1), maxWatches);
    const QByteArray line = sampleLine().chopped(1);
    for (auto _ : state)
        appender.writeLine(line);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (line.size() + 1));
}

void BM_FileAppenderWriteLine(benchmark::State& state)
{
    writeLines(state, FileAppender::defaultMaxWatches);
}

void BM_FileAppenderWriteLineUnwatched(benchmark::State& state)
{
    writeLines(state, 0);
}

void BM_FileAppenderLog(benchmark::State& state)
{
    static QSharedPointer<FileAppender> appender;
    static QTemporaryDir* dir = nullptr;
    if (state.thread_index() == 0) {
        dir = new QTemporaryDir(benchDir().path() + u"/log-XXXXXX"_s);
        appender = QSharedPointer<FileAppender>::create(
            dir->path() + u"/morlen-vesk.log"_s, maxFileSize, maxFiles);
    }
    // Google Benchmark starts the timed loops of all threads together, after the setup above.
    for (auto _ : state)
        appender->log(Level::info, loggerName, message);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * sampleLine().size());
    if (state.thread_index() == 0) {
        appender.reset();
        delete dir;
        dir = nullptr;
    }
}

void BM_LoggerSuppressed(benchmark::State& state)
{
    Logger logger(loggerName, Level::error, QSharedPointer<StdIoAppender>::create());
    for (auto _ : state)
        logger.info("creating new listener at %1 with port %2", u"10.0.0.1"_s, 49152);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_Write2);
BENCHMARK(BM_FileAppenderWriteLine);
BENCHMARK(BM_FileAppenderWriteLineUnwatched);
BENCHMARK(BM_FileAppenderLog);
BENCHMARK(BM_FileAppenderLog)->Threads(4)->UseRealTime();
BENCHMARK(BM_LoggerSuppressed);

BENCHMARK_MAIN();
