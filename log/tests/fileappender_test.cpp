#include "testsupport.h"

#include <vesk/log/fileappender.h>
#include <vesk/log/logger.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <thread>
#include <vector>

using namespace vesk::log;
using namespace Qt::StringLiterals;
using test::readAll;
using test::readLines;

namespace {

const QString fileName = u"morlen-vesk.log"_s;

// Lines 1..N are written as "line <n>"; with maxFileSize 0 every size check rotates, so the
// rotations happen before lines 102, 204, 306, ...
constexpr int period = 102;

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

    // After lines 1..lines with rotation at every check and maxFiles kept: the current file and
    // its numbered predecessors hold exactly the lines of their periods, and the directory holds
    // nothing else but the files in others.
    void expectRotated(int lines, int maxFiles, const QStringList& others = {})
    {
        const int rotations = lines / period;
        const int kept = std::min(rotations, std::max(maxFiles, 1) - 1);
        QStringList expected = others;
        expected.append(fileName);
        EXPECT_EQ(readLines(path()), numbered(rotations == 0 ? 1 : rotations * period, lines));
        for (int k = 1; k <= kept; ++k) {
            const int segment = rotations - k;
            const QString name = fileName + u'.' + QString::number(k);
            expected.append(name);
            EXPECT_EQ(readLines(dir() + u'/' + name),
                numbered(segment == 0 ? 1 : segment * period, (segment + 1) * period - 1))
                << name.toStdString() << " after " << lines << " lines, maxFiles " << maxFiles;
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

TEST_F(FileAppenderTest, DeletedFileIsRecreated)
{
    FileAppender appender(path(), 5000, 5, std::chrono::milliseconds(0));
    appender.writeLine("one");
    ASSERT_TRUE(QFile::remove(path()));
    appender.writeLine("two");
    EXPECT_EQ(readAll(path()), "two\n");

    // With its directory gone too.
    ASSERT_TRUE(QDir(dir()).removeRecursively());
    appender.writeLine("three");
    EXPECT_EQ(readAll(path()), "three\n");

    // In a burst the path is looked at again with the size, on the 102nd line.
    FileAppender burst(path(), 5000, 5, std::chrono::hours(1));
    burst.writeLine("line 0");
    ASSERT_TRUE(QFile::remove(path()));
    writeNumbered(burst, 1, period);
    EXPECT_EQ(readLines(path()), numbered(period - 1, period));
}

TEST_F(FileAppenderTest, FileMovedAwayIsLeftAlone)
{
    FileAppender appender(path(), 5000, 5, std::chrono::milliseconds(0));
    appender.writeLine("one");
    ASSERT_TRUE(QFile::rename(path(), path() + u".moved"_s));
    appender.writeLine("two");
    EXPECT_EQ(readAll(path() + u".moved"_s), "one\n");
    EXPECT_EQ(readAll(path()), "two\n");
}

TEST_F(FileAppenderTest, DirectoryThatCannotBeMadeIsReportedOncePerLine)
{
    // Below a regular file no directory can be made, not even by root.
    const QString blocker = m_tmp.path() + u"/blocker"_s;
    writeFile(blocker, "not a directory\n");
    const QString file = blocker + u"/sub/"_s + fileName;
    FileAppender appender(file, 5000, 5);

    test::StderrCapture capture;
    for (int i = 0; i < 3; ++i)
        appender.writeLine("dropped");
    const QByteArray err = capture.take();

    const QByteArray message = "логгер: Ошибка создания каталога " + blocker.toUtf8() + "/sub\n";
    EXPECT_EQ(err, message + message + message);
    EXPECT_EQ(readAll(blocker), "not a directory\n");

    // The next line tries again.
    ASSERT_TRUE(QFile::remove(blocker));
    appender.writeLine("kept");
    EXPECT_EQ(readAll(file), "kept\n");
}

TEST_F(FileAppenderTest, FileThatCannotBeOpenedIsReportedOncePerLine)
{
    // A directory where the file should be: it exists, so no directory is made, and open fails.
    ASSERT_TRUE(QDir().mkpath(path()));
    QFile probe(path());
    ASSERT_FALSE(probe.open(
        QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered));
    const QByteArray message = "логгер: Невозможно открыть файл " + path().toUtf8() + ". "
        + probe.errorString().toUtf8() + "\n";

    FileAppender appender(path(), 5000, 5);
    test::StderrCapture capture;
    for (int i = 0; i < 3; ++i)
        appender.writeLine("dropped");
    EXPECT_EQ(capture.take(), message + message + message);

    ASSERT_TRUE(QDir(path()).removeRecursively());
    appender.writeLine("kept");
    EXPECT_EQ(readAll(path()), "kept\n");
}

TEST_F(FileAppenderTest, UnwritableSystemDirectoryIsReportedOncePerLine)
{
    // /proc exists, and no one, root included, may create a file in it.
    if (!QFileInfo::exists(u"/proc/self/stat"_s))
        GTEST_SKIP() << "no procfs at /proc";
    const QString file = u"/proc/vesk-log-test.log"_s;
    QFile probe(file);
    ASSERT_FALSE(probe.open(
        QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered));
    const QByteArray message = "логгер: Невозможно открыть файл " + file.toUtf8() + ". "
        + probe.errorString().toUtf8() + "\n";

    FileAppender appender(file, 5000, 5);
    test::StderrCapture capture;
    for (int i = 0; i < 4; ++i)
        appender.writeLine("dropped");
    EXPECT_EQ(capture.take(), message + message + message + message);
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

    // 3,000,000 thousand bytes would wrap to a negative limit and rotate at every check.
    FileAppender appender(path(), 3'000'000, 5);
    writeNumbered(appender, 1, 3 * period);
    EXPECT_EQ(filesIn(dir()), QStringList { fileName });
    EXPECT_EQ(readLines(path()), numbered(1, 3 * period));
}

TEST_F(FileAppenderTest, SizeIsCheckedEvery102Lines)
{
    const struct
    {
        int maxFiles;
        int lines;
    } table[] = {
        { 5, 101 },
        { 5, 102 },
        { 5, 203 },
        { 5, 204 },
        { 5, 3 * period + 50 },
        { 5, 7 * period + 1 },
        { 3, 6 * period },
        { 2, 4 * period + 101 },
        { 1, 3 * period + 5 },
        { 0, 300 },
        { -3, 250 },
        { std::numeric_limits<int>::min(), 250 },
    };
    for (const auto& row : table) {
        ASSERT_TRUE(QDir(dir()).removeRecursively());
        {
            FileAppender appender(path(), 0, row.maxFiles);
            writeNumbered(appender, 1, row.lines);
        }
        expectRotated(row.lines, row.maxFiles);
    }
}

TEST_F(FileAppenderTest, RotatesAtTheLimitNotBelowIt)
{
    // 101 lines of one byte ("\n") come before the check on the 102nd line.
    for (const int initial : { 898, 899 }) {
        ASSERT_TRUE(QDir(dir()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(dir()));
        writeFile(path(), QByteArray(initial - 1, 'x') + '\n');
        FileAppender appender(path(), 1, 5);
        for (int i = 0; i < period; ++i)
            appender.writeLine({});
        if (initial + 101 >= 1000) {
            EXPECT_EQ(QFileInfo(path() + u".1"_s).size(), 1000);
            EXPECT_EQ(QFileInfo(path()).size(), 1);
        } else {
            EXPECT_FALSE(QFileInfo::exists(path() + u".1"_s));
            EXPECT_EQ(QFileInfo(path()).size(), initial + period);
        }
    }

    // Far below the limit: never rotated.
    ASSERT_TRUE(QDir(dir()).removeRecursively());
    FileAppender appender(path(), 10, 5);
    for (int i = 0; i < 1000; ++i)
        appender.writeLine("123456789");
    EXPECT_EQ(filesIn(dir()), QStringList { fileName });
    EXPECT_EQ(QFileInfo(path()).size(), 10000);
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
            writeNumbered(appender, 1, 4 * period + 3);
        }
        expectRotated(4 * period + 3, maxFiles, foreign);
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

        FileAppender appender(path(), 0, maxFiles);
        writeNumbered(appender, 1, period);

        QStringList expected { fileName, fileName + u".1"_s };
        EXPECT_EQ(readLines(path() + u".1"_s), QList<QByteArray> { "current" } + numbered(1, 101));
        EXPECT_EQ(readLines(path()), numbered(period, period));
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
    // A 1000-byte limit rotates at nearly every check while eight threads write; enough files are
    // kept that no line is removed, so every line must turn up exactly once and whole.
    auto appender = QSharedPointer<FileAppender>::create(path(), 1, 100000);
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
