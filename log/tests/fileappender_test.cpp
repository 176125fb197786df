#include "testsupport.h"

#include <vesk/log/fileappender.h>
#include <vesk/log/logger.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace vesk::log;
using namespace Qt::StringLiterals;
using namespace std::string_literals;
using test::readAll;
using test::readLines;

namespace {

const QString fileName = u"morlen-vesk.log"_s;

void writeNumbered(FileAppender& appender, int from, int to)
{
    for (int n = from; n <= to; ++n)
        appender.writeLine("line " + QByteArray::number(n));
}

QList<QByteArray> numbered(int from, int to)
{
    QList<QByteArray> lines;
    for (int n = from; n <= to; ++n)
        lines.append("line " + QByteArray::number(n));
    return lines;
}

QStringList filesIn(const QString& dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(content);
}

class FileAppenderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_tmp.isValid()); }

    QString dir() const { return m_tmp.path() + u"/logs"_s; }
    QString path() const { return dir() + u'/' + fileName; }

    // After lines 1..lines with a limit of 0 (every line in a file of its own) and maxFiles kept:
    // the current file holds the last line, "<name>.k" the k-th before it, and the directory
    // holds nothing else but the files in others.
    void expectOneLinePerFile(int lines, int maxFiles, const QStringList& others = {})
    {
        QStringList expected = others;
        expected.append(fileName);
        EXPECT_EQ(readLines(path()), numbered(lines, lines));
        for (int k = 1; k < std::min(lines, std::max(maxFiles, 1)); ++k) {
            const QString name = fileName + u'.' + QString::number(k);
            expected.append(name);
            EXPECT_EQ(readLines(dir() + u'/' + name), numbered(lines - k, lines - k))
                << name.toStdString() << ", maxFiles " << maxFiles;
        }
        expected.sort();
        EXPECT_EQ(filesIn(dir()), expected) << lines << " lines, maxFiles " << maxFiles;
    }

    QTemporaryDir m_tmp;
};

} // namespace

TEST_F(FileAppenderTest, WritesFormattedLinesCreatingTheDirectoryTree)
{
    const QString deep = m_tmp.path() + u"/a/b/c/"_s + fileName;
    auto appender = QSharedPointer<FileAppender>::create(deep, 5000, 5);
    EXPECT_FALSE(QFileInfo::exists(m_tmp.path() + u"/a"_s)) << "the constructor creates nothing";

    Logger logger(u"vesk.core"_s, Level::trace, appender);
    logger.warn("Ошибка %1 100%", QByteArray("%2"));
    logger.log(Level::off, u"second"_s);

    // Read while the appender is alive: every line is in the file when log() returns.
    const QByteArray content = readAll(deep);
    const QList<QByteArray> lines = readLines(deep);
    ASSERT_EQ(lines.size(), 2) << content.toStdString();
    EXPECT_TRUE(content.endsWith('\n'));
    for (const QByteArray& line : lines) {
        EXPECT_TRUE(test::timeStampPattern().match(QString::fromLatin1(line.left(23))).hasMatch())
            << line.toStdString();
    }
    EXPECT_EQ(lines[0].mid(23), "   WARN vesk.core - Ошибка %2 100%");
    EXPECT_EQ(lines[1].mid(23), "    OFF vesk.core - second");
}

TEST_F(FileAppenderTest, ContinuesAnExistingFile)
{
    ASSERT_TRUE(QDir().mkpath(dir()));
    writeFile(path(), "earlier\n");
    FileAppender appender(path(), 5000, 5);
    appender.writeLine("later");
    EXPECT_EQ(readAll(path()), "earlier\nlater\n");
}

// Whatever makes the path stop naming the open file, done right before a line: that very line
// is in a new file at the path, and the old file keeps what it had; what leaves the path alone
// reopens nothing. Both with inotify telling of changes and with a look at the path before every
// line (no watches allowed, said once).
TEST_F(FileAppenderTest, LineRightAfterTheFileWentIsInANewFileAtThePath)
{
    const QString current = dir() + u"/current"_s;
    const QString file = current + u'/' + fileName;
    const QString aside = m_tmp.path() + u"/aside"_s;
    const auto renamed = [](const QString& from, const QString& to) {
        return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData())
            == 0;
    };
    // "current" a link to real-a that is pointed to real-b, as a dated log rotation might do.
    const auto linkTo = [&](const QString& target, const QString& link) {
        return QDir().mkpath(dir() + u'/' + target) && QFile::link(target, link);
    };
    const struct
    {
        const char* change;
        std::function<bool()> apply;
        QByteArray atPath;
        // Where the old file's lines are afterwards; none when it is gone.
        QString kept;
        int reopened = 1;
        bool throughLink = false;
    } table[] = {
        { "removed", [&] { return QFile::remove(file); }, "probe\n", {} },
        { "removed with its directory", [&] { return QDir(current).removeRecursively(); },
            "probe\n", {} },
        { "moved away", [&] { return renamed(file, file + u".moved"_s); }, "probe\n",
            file + u".moved"_s },
        { "its directory moved away", [&] { return renamed(current, aside); }, "probe\n",
            aside + u'/' + fileName },
        { "a directory above moved away", [&] { return renamed(dir(), aside); }, "probe\n",
            aside + u"/current/"_s + fileName },
        { "replaced by a rename over it",
            [&] {
                writeFile(file + u".new"_s, "replacement\n");
                return renamed(file + u".new"_s, file);
            },
            "replacement\nprobe\n", {} },
        { "other files made, moved and removed beside it",
            [&] {
                writeFile(current + u"/other.log"_s, "other\n");
                writeFile(file + u".1"_s, "numbered\n");
                return renamed(current + u"/other.log"_s, current + u"/other.log.1"_s)
                    && QDir(current).mkdir(u"sub"_s) && QFile::remove(file + u".1"_s);
            },
            "before\nprobe\n", {}, 0 },
        { "a link on the way pointed elsewhere",
            [&] {
                return linkTo(u"real-b"_s, current + u".new"_s)
                    && renamed(current + u".new"_s, current);
            },
            "probe\n", dir() + u"/real-a/"_s + fileName, 1, true },
    };
    for (const int maxWatches : { FileAppender::defaultMaxWatches, 0 }) {
        for (const auto& row : table) {
            const std::string where = row.change + ", maxWatches "s + std::to_string(maxWatches);
            ASSERT_TRUE(QDir(dir()).removeRecursively());
            ASSERT_TRUE(QDir(aside).removeRecursively());
            if (row.throughLink) {
                ASSERT_TRUE(linkTo(u"real-a"_s, current));
            }
            FileAppender appender(file, 5000, 5, std::chrono::hours(1), maxWatches);
            test::StderrCapture capture;
            appender.writeLine("before");
            ASSERT_TRUE(row.apply()) << where;
            appender.writeLine("probe");
            appender.writeLine("after");
            const QByteArray said = capture.take();

            EXPECT_EQ(readAll(file), row.atPath + "after\n") << where;
            if (!row.kept.isEmpty()) {
                EXPECT_EQ(readAll(row.kept), "before\n") << where;
            }
            // A watch looks only when told of a change; without one, every line looks.
            const bool watched = maxWatches > 0 && !row.throughLink;
            const FileAppender::PathChecks checks = appender.pathChecks();
            EXPECT_EQ(checks.watched, watched) << where;
            EXPECT_EQ(checks.looks, watched ? quint64(row.reopened) : 2u) << where;
            EXPECT_EQ(checks.reopened, quint64(row.reopened)) << where;
            if (maxWatches > 0) {
                EXPECT_EQ(said, "") << where;
            } else {
                EXPECT_TRUE(said.startsWith(
                    "логгер: Не удаётся следить за файлом журнала " + file.toUtf8() + " ("))
                    << where << said.toStdString();
                EXPECT_TRUE(said.endsWith("); путь проверяется перед каждой строкой\n"))
                    << where << said.toStdString();
                EXPECT_EQ(said.count('\n'), 1) << where << said.toStdString();
            }
        }
    }
}

// Each rotation opens a new file, which the watch must follow: no rotation costs a look, and a
// removal after many of them is still seen by the very next line.
TEST_F(FileAppenderTest, WatchFollowsTheFileAcrossRotations)
{
    FileAppender appender(path(), 1, 3);
    writeNumbered(appender, 1, 500);
    ASSERT_TRUE(QFileInfo::exists(path() + u".2"_s)) << "the rotation did not run";
    EXPECT_EQ(appender.pathChecks().looks, 0u);
    ASSERT_TRUE(QFile::remove(path()));
    appender.writeLine("probe");
    EXPECT_EQ(readAll(path()), "probe\n");
    const FileAppender::PathChecks checks = appender.pathChecks();
    EXPECT_TRUE(checks.watched);
    EXPECT_EQ(checks.looks, 1u);
    EXPECT_EQ(checks.reopened, 1u);
}

// No look at the path is due while nothing happens to it, so another process's lines in the same
// file are counted from the kernel's size: at the latest with the 102nd line of ours.
TEST_F(FileAppenderTest, AnotherWritersLinesAreCountedWithinAHundredAndTwoLines)
{
    FileAppender appender(path(), 1, 5);
    appender.writeLine("ours");
    QFile other(path());
    ASSERT_TRUE(other.open(QIODevice::WriteOnly | QIODevice::Append));
    other.write(QByteArray(990, 'o') + '\n');
    other.close();
    int lines = 0;
    while (!QFileInfo::exists(path() + u".1"_s) && lines < 200) {
        appender.writeLine("x");
        ++lines;
    }
    EXPECT_LE(lines, 102);
    EXPECT_EQ(appender.pathChecks().looks, 0u);
}

// Out of descriptors for an inotify instance: said once, and every line looks at the path,
// which still sees a removal at once.
TEST_F(FileAppenderTest, NoInotifyInstanceIsSaidOnceAndEveryLineLooks)
{
    ASSERT_TRUE(QDir().mkpath(dir()));
    FileAppender appender(path(), 5000, 5);
    test::StderrCapture capture;
    // The undefined-behaviour sanitizer checks an object's type through a pipe the first time it
    // meets it, which it cannot make with no descriptor left: it meets std::cerr's here.
    std::cerr << std::endl;
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    {
        // Back to the limit of before, however the block ends.
        const std::unique_ptr<rlimit, void (*)(rlimit*)> restore(
            &saved, [](rlimit* limit) { ::setrlimit(RLIMIT_NOFILE, limit); });
        // The lowest free descriptor is the only one left: the log file takes it.
        const int lowest = ::dup(0);
        ASSERT_GE(lowest, 0);
        ::close(lowest);
        rlimit one = saved;
        one.rlim_cur = rlim_t(lowest) + 1;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &one), 0);
        appender.writeLine("before");
        QFile::remove(path());
        appender.writeLine("probe");
    }
    const QByteArray said = capture.take();
    EXPECT_EQ(said,
        "\nлоггер: Не удаётся следить за файлом журнала " + path().toUtf8() + " (inotify: "
            + qt_error_string(EMFILE).toUtf8() + "); путь проверяется перед каждой строкой\n");
    EXPECT_EQ(readAll(path()), "probe\n");
    const FileAppender::PathChecks checks = appender.pathChecks();
    EXPECT_FALSE(checks.watched);
    EXPECT_EQ(checks.reopened, 1u);
}

// A file that cannot be written is said once, its lines go to standard error instead, and the
// first line that the file takes again says so once.
TEST_F(FileAppenderTest, UnwritableFileIsSaidOnceAndTheLinesGoToStandardError)
{
    const QByteArray whereLinesGo
        = "; строки журнала пишутся в стандартный поток ошибок, пока файл недоступен\n";
    const QString blocker = m_tmp.path() + u"/blocker"_s;
    const QString belowBlocker = blocker + u"/sub/"_s + fileName;
    const auto openError = [](const QString& file) {
        QFile probe(file);
        probe.open(QIODevice::WriteOnly | QIODevice::Append);
        return "Невозможно открыть файл " + file.toUtf8() + ". " + probe.errorString().toUtf8();
    };
    const struct
    {
        const char* cause;
        QString file;
        std::function<void()> make;
        std::function<QByteArray()> complaint;
        // Mends the cause, when a test can.
        std::function<bool()> mend;
    } table[] = {
        { "no directory can be made below a regular file, not even by root", belowBlocker,
            [&] { writeFile(blocker, "not a directory\n"); },
            [&] { return "Ошибка создания каталога " + blocker.toUtf8() + "/sub"; },
            [&] { return QFile::remove(blocker); } },
        { "a directory stands where the file should be", path(),
            [&] { ASSERT_TRUE(QDir().mkpath(path())); }, [&] { return openError(path()); },
            [&] { return QDir(path()).removeRecursively(); } },
        { "no one may create a file in /proc", u"/proc/vesk-log-test.log"_s, [] {},
            [&] { return openError(u"/proc/vesk-log-test.log"_s); }, {} },
        { "a full disk", u"/dev/full"_s, [] {},
            [] {
                return QByteArray("Невозможно записать в файл /dev/full. No space left on device");
            },
            {} },
    };
    for (const auto& row : table) {
        ASSERT_TRUE(QDir(dir()).removeRecursively());
        QFile::remove(blocker);
        row.make();
        // Every line tries the file again.
        FileAppender appender(row.file, 5000, 5, std::chrono::milliseconds(0));
        const QByteArray complaint = "логгер: " + row.complaint() + whereLinesGo;

        test::StderrCapture capture;
        for (int n = 1; n <= 4; ++n)
            appender.log(Level::error, u"vesk.core"_s, u"line %1"_s.arg(n));
        EXPECT_TRUE(appender.onStandardError()) << row.cause;
        QByteArray err = capture.take();
        ASSERT_TRUE(err.startsWith(complaint)) << row.cause << "\n" << err.toStdString();
        err.remove(0, complaint.size());
        const QList<QByteArray> lines = err.split('\n');
        ASSERT_EQ(lines.size(), 5) << row.cause << "\n" << err.toStdString();
        for (int n = 1; n <= 4; ++n)
            EXPECT_EQ(lines[n - 1].mid(test::timeStampLength),
                "  ERROR vesk.core - line " + QByteArray::number(n))
                << row.cause;

        if (!row.mend)
            continue;
        ASSERT_TRUE(row.mend()) << row.cause;
        test::StderrCapture mended;
        appender.writeLine("kept");
        appender.writeLine("kept too");
        EXPECT_EQ(mended.take(), "логгер: Журнал снова пишется в файл " + row.file.toUtf8() + "\n")
            << row.cause;
        EXPECT_EQ(readAll(row.file), "kept\nkept too\n") << row.cause;
        EXPECT_FALSE(appender.onStandardError()) << row.cause;
    }
}

// A path that names standard error's own file: the lines go there once, and it is never rotated
// (renaming "/dev/stderr" would take it away from every program).
TEST_F(FileAppenderTest, StandardErrorAsTheFileIsNeverRotated)
{
    ASSERT_TRUE(QDir().mkpath(dir()));
    ASSERT_TRUE(QFile::link(u"/proc/self/fd/2"_s, path()));
    FileAppender appender(path(), 0, 5);
    EXPECT_FALSE(appender.onStandardError()) << "nothing written yet";
    test::StderrCapture capture;
    writeNumbered(appender, 1, 3);
    const bool onStandardError = appender.onStandardError();
    EXPECT_EQ(capture.take(), "line 1\nline 2\nline 3\n");
    EXPECT_TRUE(onStandardError);
    EXPECT_TRUE(QFileInfo(path()).isSymLink());
    EXPECT_EQ(filesIn(dir()), QStringList { fileName });
}

TEST_F(FileAppenderTest, MaxFileSizeIsInThousandsOfBytesAndClamped)
{
    const struct
    {
        int maxFileSize;
        std::int32_t bytes;
    } table[] = {
        { 5000, 5'000'000 },
        { 100, 100'000 },
        { 1, 1000 },
        { 0, 0 },
        { -5, -5000 },
        { 2'147'483, 2'147'483'000 },
        { 2'147'484, std::numeric_limits<std::int32_t>::max() },
        { 3'000'000, std::numeric_limits<std::int32_t>::max() },
        { std::numeric_limits<int>::max(), std::numeric_limits<std::int32_t>::max() },
        { -2'147'484, std::numeric_limits<std::int32_t>::min() },
        { std::numeric_limits<int>::min(), std::numeric_limits<std::int32_t>::min() },
    };
    for (const auto& row : table)
        EXPECT_EQ(FileAppender(path(), row.maxFileSize, 5).maxSize(), row.bytes) << row.maxFileSize;

    // 3,000,000 thousand bytes would wrap to a negative limit and rotate before every line.
    FileAppender appender(path(), 3'000'000, 5);
    writeNumbered(appender, 1, 300);
    EXPECT_EQ(filesIn(dir()), QStringList { fileName });
    EXPECT_EQ(readLines(path()), numbered(1, 300));
}

// The files against a model of the rotation that knows nothing of the appender's insides: a line
// that would take the current file past the limit starts a new one, the old ones move up and
// those past maxFiles - 1 go; a line longer than the limit is cut to it. No file is ever larger
// than the limit, and no line is ever split between two files.
TEST_F(FileAppenderTest, FilesMatchAModelOfTheRotation)
{
    struct Model
    {
        qint64 limit;
        int maxFiles;
        // The current file first, then "<name>.1", ...
        QList<QByteArray> files;

        void write(QByteArray whole)
        {
            if (limit > 0 && whole.size() > limit) {
                const QByteArray note
                    = " [cut from " + QByteArray::number(whole.size()) + " bytes]\n";
                whole = whole.left(limit - note.size()) + note;
            }
            if (!files.front().isEmpty() && files.front().size() + whole.size() > limit) {
                files.prepend({});
                files.resize(std::min<qsizetype>(files.size(), std::max(maxFiles, 1)));
            }
            files.front() += whole;
        }
    };

    const struct
    {
        int maxFileSize;
        int maxFiles;
        QByteArray existing;
    } table[] = {
        { 1, 5, {} },
        { 1, 3, QByteArray(990, 'e') + '\n' },
        { 1, 2, QByteArray(1500, 'e') + '\n' },
        { 2, 1, {} },
        { 1, 0, {} },
        { 3, 4, {} },
        { 0, 3, "existing\n" },
        { -3, 4, {} },
        { std::numeric_limits<int>::min(), 2, {} },
    };
    std::mt19937 random(20240301);
    for (const auto& row : table) {
        ASSERT_TRUE(QDir(dir()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(dir()));
        Model model { FileAppender(path(), row.maxFileSize, row.maxFiles).maxSize(), row.maxFiles,
            { row.existing } };
        if (!row.existing.isEmpty())
            writeFile(path(), row.existing);
        FileAppender appender(path(), row.maxFileSize, row.maxFiles);
        // Lengths around the limit's size, with now and then one far longer than it.
        std::uniform_int_distribution<int> length(0, 400);
        for (int n = 0; n < 300; ++n) {
            const int size = n % 37 == 5 ? 2500 : length(random);
            QByteArray line = QByteArray::number(n) + ':' + QByteArray(size, char('a' + n % 26));
            appender.writeLine(line);
            model.write(line + '\n');
        }

        const std::string where = "maxFileSize " + std::to_string(row.maxFileSize) + ", maxFiles "
            + std::to_string(row.maxFiles);
        QStringList expected;
        for (qsizetype k = 0; k < model.files.size(); ++k) {
            const QString name = k == 0 ? fileName : fileName + u'.' + QString::number(k);
            expected.append(name);
            const QByteArray content = readAll(dir() + u'/' + name);
            EXPECT_EQ(content, model.files[k]) << where << ", " << name.toStdString();
            if (model.limit > 0) {
                EXPECT_LE(content.size(), model.limit) << where << ", " << name.toStdString();
            }
        }
        expected.sort();
        EXPECT_EQ(filesIn(dir()), expected) << where;
    }
}

// A line cut to the limit is cut between two characters, never inside one.
TEST_F(FileAppenderTest, LongLineIsCutBetweenCharacters)
{
    FileAppender appender(path(), 1, 5);
    const QString message = QString(1000, u'ж');
    appender.log(Level::info, u"vesk.core"_s, message);
    const QByteArray content = readAll(path());
    const QByteArray whole = Appender::format(Level::info, u"vesk.core"_s, message).toUtf8() + '\n';
    const QByteArray note = " [cut from " + QByteArray::number(whole.size()) + " bytes]\n";
    ASSERT_TRUE(content.endsWith(note)) << content.toStdString();
    const qsizetype kept = content.size() - note.size() - test::timeStampLength;
    EXPECT_EQ(content.mid(test::timeStampLength, kept), whole.mid(test::timeStampLength, kept));
    // At most the one byte of a character that did not fit is given away, and only whole
    // characters are kept.
    EXPECT_LE(content.size(), 1000);
    EXPECT_GE(content.size(), 999);
    EXPECT_EQ(QString::fromUtf8(content).toUtf8(), content);
}

TEST_F(FileAppenderTest, OtherFilesInTheDirectoryAreNeverTouched)
{
    const QStringList foreign {
        u"morlen-vesk.conf"_s,
        u"morlen-vesk"_s,
        u"morlen-vesk.log.gz"_s,
        u"morlen-vesk.log.old"_s,
        u"morlen-vesk.log.01"_s,
        u"morlen-vesk.log.0"_s,
        u"morlen-vesk.log."_s,
        u"morlen-vesk.log.-1"_s,
        u"morlen-vesk.log.+2"_s,
        u"morlen-vesk.log. 3"_s,
        u"morlen-vesk.log.1.gz"_s,
        u"morlen-vesk.log.99999999999"_s,
        u"morlen-vesk.log1"_s,
        u"morlen-vesk.logs"_s,
        u"Morlen-vesk.log.1"_s,
        u"other.log"_s,
        u"other.log.1"_s,
    };
    for (const int maxFiles : { 1, 3 }) {
        ASSERT_TRUE(QDir(dir()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(dir()));
        for (const QString& name : foreign)
            writeFile(dir() + u'/' + name, name.toUtf8());
        {
            FileAppender appender(path(), 0, maxFiles);
            writeNumbered(appender, 1, 23);
        }
        expectOneLinePerFile(23, maxFiles, foreign);
        for (const QString& name : foreign)
            EXPECT_EQ(readAll(dir() + u'/' + name), name.toUtf8()) << name.toStdString();
    }
}

TEST_F(FileAppenderTest, TenOrMoreNumberedFilesMoveInNumericOrder)
{
    // Numbered files above maxFiles - 2 are removed, the others move up by one.
    for (const int maxFiles : { 15, 13, 11 }) {
        ASSERT_TRUE(QDir(dir()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(dir()));
        for (int k = 1; k <= 12; ++k)
            writeFile(path() + u'.' + QString::number(k), "old " + QByteArray::number(k) + '\n');
        writeFile(path(), "current\n");

        // One line: the current file is at the limit of 0 and moves to "<name>.1" first.
        FileAppender appender(path(), 0, maxFiles);
        writeNumbered(appender, 1, 1);

        QStringList expected { fileName, fileName + u".1"_s };
        EXPECT_EQ(readLines(path() + u".1"_s), QList<QByteArray> { "current" });
        EXPECT_EQ(readLines(path()), numbered(1, 1));
        for (int k = 1; k <= 12 && k <= maxFiles - 2; ++k) {
            const QString name = fileName + u'.' + QString::number(k + 1);
            expected.append(name);
            EXPECT_EQ(readAll(dir() + u'/' + name), "old " + QByteArray::number(k) + '\n')
                << name.toStdString() << ", maxFiles " << maxFiles;
        }
        expected.sort();
        EXPECT_EQ(filesIn(dir()), expected) << "maxFiles " << maxFiles;
    }
}

TEST_F(FileAppenderTest, ConcurrentLinesStayWholeAcrossRotations)
{
    // A 10,000-byte limit rotates every 80 lines or so while eight threads write; enough files
    // are kept that no line is removed, so every line must turn up exactly once and whole, and
    // no file may pass the limit.
    auto appender = QSharedPointer<FileAppender>::create(path(), 10, 100000);
    constexpr int threadCount = 8;
    constexpr int lines = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            Logger logger(u"thread-%1"_s.arg(t), Level::trace, appender);
            for (int i = 0; i < lines; ++i)
                logger.info("line %1 of thread %2 %3", i, t, QString(30, u'ж'));
        });
    }
    for (auto& thread : threads)
        thread.join();

    // Oldest file first: the highest number, down to the current file.
    std::map<int, QString, std::greater<>> files;
    for (const QString& name : filesIn(dir())) {
        const QString suffix = name.mid(fileName.size() + 1);
        files.emplace(name == fileName ? 0 : suffix.toInt(), name);
    }
    EXPECT_GT(files.size(), 50u) << "the rotation did not run";

    const QRegularExpression pattern(
        u"^.{23}   INFO thread-(\\d) - line (\\d+) of thread \\1 ж{30}$"_s);
    std::vector<int> next(threadCount, 0);
    int total = 0;
    for (const auto& [number, name] : files) {
        const QByteArray content = readAll(dir() + u'/' + name);
        EXPECT_TRUE(content.endsWith('\n')) << name.toStdString();
        EXPECT_LE(content.size(), 10000) << name.toStdString();
        for (const QByteArray& line : readLines(dir() + u'/' + name)) {
            const auto match = pattern.match(QString::fromUtf8(line));
            ASSERT_TRUE(match.hasMatch()) << name.toStdString() << ": " << line.toStdString();
            const int t = match.captured(1).toInt();
            EXPECT_EQ(match.captured(2).toInt(), next[t]++) << name.toStdString();
            ++total;
        }
    }
    EXPECT_EQ(total, threadCount * lines);
}
