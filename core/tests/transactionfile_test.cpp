#include "logcapture.h"
#include "testcore.h"
#include "transactionfile.h"
#include "xxhsum.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>

using namespace vesk;
using namespace vesk::detail;
using vesk::test::LogCapture;
using vesk::test::writeFile;

namespace {

struct LineCase
{
    QByteArray line;
    std::uint64_t checksum;
    QByteArray name;
};

class ParseTransactionLine : public testing::TestWithParam<LineCase>
{
};

// Mirrors the table at parseTransactionLine.
TEST_P(ParseTransactionLine, Table)
{
    const TransactionLine entry = parseTransactionLine(GetParam().line);
    EXPECT_EQ(entry.checksum, GetParam().checksum);
    EXPECT_EQ(entry.name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseTransactionLine,
    testing::Values(
        LineCase { "ef46db3751d8e999  video/a.mp4\n", 0xef46db3751d8e999ULL, "video/a.mp4" },
        LineCase { "EF46DB3751D8E999  a.mp4\r\n", 0xef46db3751d8e999ULL, "a.mp4" },
        LineCase { "ef46db3751d8e999  a.mp4", 0xef46db3751d8e999ULL, "a.mp4" },
        LineCase { "ef46db3751d8e999  a\r", 0xef46db3751d8e999ULL, "a\r" },
        LineCase { "zzzzzzzzzzzzzzzz  a.mp4\n", 0, "a.mp4" },
        LineCase { "ef46db37\n", 0xef46db37ULL, {} }, LineCase { "\n", 0, {} },
        LineCase { "0000000000000001  \xd0\xb2\xd0\xb8\xd0\xb4\xd0\xb5\xd0\xbe.mp4\n", 1,
            "\xd0\xb2\xd0\xb8\xd0\xb4\xd0\xb5\xd0\xbe.mp4" }));

struct FileCase
{
    QByteArray content;
    // The names taken, or why the file is refused.
    QStringList names;
    QString refused;
};

class ParseTransactionFile : public testing::TestWithParam<FileCase>
{
};

// Mirrors the table at parseTransactionFile.
TEST_P(ParseTransactionFile, Table)
{
    const auto entries = parseTransactionFile(GetParam().content);
    QStringList names;
    for (qsizetype i = 0; entries && i < entries.value().size(); ++i)
        names.append(entries.value().nameText(i));
    EXPECT_EQ(names, GetParam().names);
    EXPECT_EQ(entries ? QString() : entries.error(), GetParam().refused);
}

const QByteArray one = "0000000000000001  ";
const QByteArray two = "0000000000000002  ";

INSTANTIATE_TEST_SUITE_P(Files, ParseTransactionFile,
    testing::Values(FileCase { one + "../x\n" + one + "a\n", { "a" }, {} },
        FileCase { one + "a.mp4\n" + one + "./a.mp4\n" + one + ".//a.mp4\n", { "a.mp4" }, {} },
        FileCase { one + "a//b/./c\n" + one + "d", { "a/b/c", "d" }, {} },
        FileCase { one + "a.mp4\n" + two + "./a.mp4\n", {},
            "line 2 lists a.mp4 again with another checksum" },
        FileCase { one + "a\n\n", {}, "line 2 names no file" },
        FileCase { one + ".\n", {}, "line 1 names no file" },
        FileCase { one + "\xff.mp4\n", {}, "line 1: the name is not UTF-8" },
        FileCase { one + "ok/" + QByteArray(255, 'x') + "\n" + one + QByteArray(256, 'x'), {},
            "line 2: a part of the name is longer than 255 bytes" },
        FileCase { one + (QByteArray(255, 'x') + '/').repeated(16) + "y\n", {},
            "line 1: the name is longer than 4095 bytes" },
        FileCase { one + "video\n" + two + "video/a.mp4\n", {},
            "video is listed as a file and as a directory" },
        FileCase { {}, {}, {} }));

// The rules of parseTransactionFile in their plainest form, slow as they are plain: every
// directory of every name in a set, each name looked up as its line comes. The names taken, or
// "refused: " and why.
QString modelOfTransactionFile(const QByteArray& content)
{
    QStringList taken;
    QHash<QString, std::uint64_t> checksums;
    QSet<QString> directories;
    int number = 0;
    for (const TransactionLine& line : transactionLines(content)) {
        const QString at = QString("refused: line %1").arg(++number);
        if (line.name.size() > 4095)
            return at + ": the name is longer than 4095 bytes";
        if (!line.name.isValidUtf8())
            return at + ": the name is not UTF-8";
        QStringList parts = QString::fromUtf8(line.name).split('/', Qt::SkipEmptyParts);
        parts.removeAll(".");
        if (line.name.startsWith('/') || parts.contains(".."))
            continue;
        if (parts.isEmpty())
            return at + " names no file";
        for (qsizetype i = 1; i < parts.size(); ++i)
            directories.insert(parts.first(i).join('/'));
        const QString name = parts.join('/');
        if (checksums.value(name, line.checksum) != line.checksum)
            return at + " lists " + name + " again with another checksum";
        if (!checksums.contains(name))
            taken.append(name);
        checksums.insert(name, line.checksum);
    }
    for (const QString& name : taken)
        if (directories.contains(name))
            return "refused: " + name + " is listed as a file and as a directory";
    return taken.join(' ');
}

// Random files over names that nest, repeat, climb out, run long and sort around '/' ("a-1" and
// "a.b" come between "a" and "a/b" in plain byte order): the parse agrees with the model.
TEST(ParseTransactionFile, AgreesWithAModelThatKeepsEveryDirectory)
{
    const QList<QByteArray> names
        = { "a", "a/b", "a-1", "a.b", "a/b/c", "./a", "a//b/", "b", "a-1/x", "ab", "a/b.c", "../x",
              ".", "\xff", "a/" + QByteArray(4094, 'x'), QByteArray("./").repeated(2048) + "b" };
    std::mt19937 random(31);
    int refusals = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray content;
        for (int n = int(random() % 7); n > 0; --n)
            content += (random() % 2 ? one : two) + names[qsizetype(random() % 16)] + "\n";
        const auto parsed = parseTransactionFile(content);
        QStringList taken;
        for (qsizetype i = 0; parsed && i < parsed.value().size(); ++i)
            taken.append(parsed.value().nameText(i));
        const QString got = parsed ? taken.join(' ') : "refused: " + parsed.error();
        ASSERT_EQ(got.toStdString(), modelOfTransactionFile(content).toStdString())
            << content.toStdString();
        refusals += parsed ? 0 : 1;
    }
    EXPECT_TRUE(refusals > 2000 && refusals < 18000)
        << refusals << " refused: both ways out, often";
}

// A content directory with three files and a TF from xxhsum.
class CheckTransactionFile : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.isValid());
        m_dir = m_tmp.filePath(QStringLiteral("content"));
        ASSERT_TRUE(writeFile(m_dir + "/playlist.ini", "[main]\n"));
        ASSERT_TRUE(writeFile(m_dir + "/a.mp4", QByteArray(10000, 'a')));
        ASSERT_TRUE(writeFile(m_dir + "/video/b.mp4", QByteArray(20000, 'b')));
        LogCapture::instance().clear();
    }

    void writeTf(const QStringList& names)
    {
        const QByteArray lines = test::xxhsumLines(m_dir, names);
        ASSERT_FALSE(lines.isEmpty()) << "xxhsum failed";
        ASSERT_TRUE(writeFile(m_dir + "/TF", lines));
    }

    static bool logged(log::Level level, const QString& message)
    {
        return LogCapture::instance().contains(level, QStringLiteral("vesk.core"), message);
    }

    QTemporaryDir m_tmp;
    QString m_dir;
};

TEST_F(CheckTransactionFile, VerifiedNamesInFileOrder)
{
    writeTf({ "video/b.mp4", "playlist.ini", "a.mp4" });
    const auto result = checkTransactionFile(m_dir);
    ASSERT_TRUE(result.hasValue());
    EXPECT_EQ(result.value(), QStringList({ "video/b.mp4", "playlist.ini", "a.mp4" }));
}

TEST_F(CheckTransactionFile, NoTransactionFile)
{
    const auto result = checkTransactionFile(m_dir);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), CheckTransactionFileError::TransactionFileNotFound);
    EXPECT_TRUE(logged(log::Level::error, "  не найден файл транзакции"));
}

TEST_F(CheckTransactionFile, TransactionFileListingNoFileIsIncomplete)
{
    for (const QByteArray& content : { QByteArray(), QByteArray("0000000000000000  ../x\n") }) {
        ASSERT_TRUE(writeFile(m_dir + "/TF", content));
        const auto result = checkTransactionFile(m_dir);
        ASSERT_FALSE(result.hasValue());
        EXPECT_EQ(result.error(), CheckTransactionFileError::NothingListed);
    }
}

TEST_F(CheckTransactionFile, MismatchStopsAtThatFile)
{
    writeTf({ "a.mp4", "video/b.mp4", "playlist.ini" });
    ASSERT_TRUE(writeFile(m_dir + "/video/b.mp4", QByteArray(20000, 'c')));
    QFile::remove(m_dir + "/playlist.ini");
    const auto result = checkTransactionFile(m_dir);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), CheckTransactionFileError::HashMismatch);
    EXPECT_TRUE(
        logged(log::Level::error, "  хеш сумма для файла video/b.mp4 не совпадает с эталонной"));
    // The missing file after it is never looked at.
    for (const QString& message : LogCapture::instance().messages("vesk.core")) {
        EXPECT_FALSE(message.contains("playlist.ini")) << message.toStdString();
    }
}

TEST_F(CheckTransactionFile, MissingFileIsAReadError)
{
    writeTf({ "a.mp4" });
    QFile::remove(m_dir + "/a.mp4");
    const auto result = checkTransactionFile(m_dir);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), CheckTransactionFileError::FileReadError);
    EXPECT_TRUE(logged(log::Level::warn, "  ошибка чтения файла a.mp4: No such file or directory"));
}

TEST_F(CheckTransactionFile, CrlfAndMissingFinalLineFeedKeepWholeNames)
{
    QByteArray lines = test::xxhsumLines(m_dir, { "a.mp4", "video/b.mp4" });
    ASSERT_FALSE(lines.isEmpty());
    lines.replace("\n", "\r\n");
    lines.chop(2);
    ASSERT_TRUE(writeFile(m_dir + "/TF", lines));
    const auto result = checkTransactionFile(m_dir);
    ASSERT_TRUE(result.hasValue());
    EXPECT_EQ(result.value(), QStringList({ "a.mp4", "video/b.mp4" }));
}

TEST_F(CheckTransactionFile, BlankLineIsMalformed)
{
    QByteArray lines = test::xxhsumLines(m_dir, { "a.mp4" });
    ASSERT_TRUE(writeFile(m_dir + "/TF", lines + "\n"));
    const auto result = checkTransactionFile(m_dir);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), CheckTransactionFileError::Malformed);
    EXPECT_TRUE(logged(log::Level::error, "  файл транзакции отклонен: line 2 names no file"));
}

TEST_F(CheckTransactionFile, NamesOutsideTheDirectoryAreSkipped)
{
    ASSERT_TRUE(writeFile(m_tmp.filePath("outside"), "secret"));
    QByteArray lines = test::xxhsumLines(m_dir, { "a.mp4", "../outside", "video/../../outside" });
    ASSERT_FALSE(lines.isEmpty());
    lines += test::xxhsumLines(m_tmp.path(), { m_tmp.filePath("outside") });
    ASSERT_TRUE(writeFile(m_dir + "/TF", lines));

    const auto result = checkTransactionFile(m_dir);
    ASSERT_TRUE(result.hasValue());
    EXPECT_EQ(result.value(), QStringList({ "a.mp4" }));
    const QString warning = "  файл %1 будет пропущен, так как он находится за пределами "
                            "директории синхронизации";
    EXPECT_TRUE(logged(log::Level::warn, warning.arg("../outside")));
    EXPECT_TRUE(logged(log::Level::warn, warning.arg("video/../../outside")));
    EXPECT_TRUE(logged(log::Level::warn, warning.arg(m_tmp.filePath("outside"))));

    // Many of them: a few named, the rest counted in one line.
    lines = test::xxhsumLines(m_dir, { "a.mp4" });
    for (int i = 0; i < 1000; ++i)
        lines += "ef46db3751d8e999  ../x" + QByteArray::number(i) + "\n";
    ASSERT_TRUE(writeFile(m_dir + "/TF", lines));
    LogCapture::instance().clear();
    ASSERT_TRUE(checkTransactionFile(m_dir).hasValue());
    const auto coreLines = LogCapture::instance().lines(QStringLiteral("vesk.core"));
    EXPECT_EQ(std::count_if(coreLines.cbegin(), coreLines.cend(),
                  [](const LogCapture::Line& line) { return line.level == log::Level::warn; }),
        9);
    EXPECT_TRUE(logged(log::Level::warn, warning.arg("../x7")));
    EXPECT_TRUE(logged(
        log::Level::warn, "  пропущено еще 992 файлов за пределами директории синхронизации"));
}

TEST_F(CheckTransactionFile, SymbolicLinksAreReadErrors)
{
    ASSERT_TRUE(writeFile(m_tmp.filePath("elsewhere/secret"), "secret"));
    std::filesystem::create_symlink(
        m_tmp.filePath("elsewhere/secret").toStdString(), (m_dir + "/link").toStdString());
    std::filesystem::create_directory_symlink(
        m_tmp.filePath("elsewhere").toStdString(), (m_dir + "/linkdir").toStdString());

    for (const QString& name : { QStringLiteral("link"), QStringLiteral("linkdir/secret") }) {
        SCOPED_TRACE(name.toStdString());
        // xxhsum follows the links, so the checksums are right: only the link itself is refused.
        writeTf({ "a.mp4", name });
        LogCapture::instance().clear();
        const auto result = checkTransactionFile(m_dir);
        ASSERT_FALSE(result.hasValue());
        EXPECT_EQ(result.error(), CheckTransactionFileError::FileReadError);
        EXPECT_TRUE(logged(log::Level::warn,
            QString("  ошибка чтения файла %1: Too many levels of symbolic links").arg(name)));
    }
}

TEST_F(CheckTransactionFile, LinkedTransactionFileIsNotFound)
{
    writeTf({ "a.mp4" });
    ASSERT_TRUE(QFile::rename(m_dir + "/TF", m_tmp.filePath("TF")));
    std::filesystem::create_symlink(
        m_tmp.filePath("TF").toStdString(), (m_dir + "/TF").toStdString());
    const auto result = checkTransactionFile(m_dir);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), CheckTransactionFileError::TransactionFileNotFound);
}

TEST_F(CheckTransactionFile, FifoIsRefusedWithoutBlocking)
{
    writeTf({ "a.mp4" });
    QFile::remove(m_dir + "/a.mp4");
    ASSERT_EQ(::mkfifo(QFile::encodeName(m_dir + "/a.mp4").constData(), 0600), 0);
    const auto result = checkTransactionFile(m_dir);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), CheckTransactionFileError::FileReadError);
    EXPECT_TRUE(logged(log::Level::warn, "  ошибка чтения файла a.mp4: Not a regular file"));
}

} // namespace
