#include <vesk/file/fileoperations.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

using namespace vesk;
namespace fs = std::filesystem;

extern char** environ;

namespace {

class FileTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    fs::path path(const QString& name) const
    {
        return fs::path(m_dir.filePath(name).toStdString());
    }

    void write(const QString& name, const QByteArray& content, unsigned int mode = 0644)
    {
        const fs::path target = path(name);
        fs::create_directories(target.parent_path());
        QFile file(QString::fromStdString(target.string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(content), content.size());
        file.close();
        ::chmod(target.c_str(), mode);
    }

    QByteArray read(const QString& name) const
    {
        QFile file(QString::fromStdString(path(name).string()));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    static unsigned int modeOf(const fs::path& target)
    {
        struct stat info
        {
        };
        EXPECT_EQ(::lstat(target.c_str(), &info), 0);
        return info.st_mode & 07777;
    }

    // Every entry below the directory, relative, sorted: what a test expects to find there.
    QStringList entries(const QString& name = {}) const
    {
        QStringList result;
        const fs::path root = name.isEmpty() ? path(".").parent_path() : path(name);
        for (const auto& entry : fs::recursive_directory_iterator(root))
            result << QString::fromStdString(
                entry.path().lexically_relative(root).generic_string());
        result.sort();
        return result;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(FileTest, CreateDirectoryMakesParentsAndSetsMode)
{
    const fs::path target = path("a/b/.ssh");
    file::createDirectory(target, 0700);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(modeOf(target), 0700u);

    // Again, with another mode: succeeds and applies the mode.
    file::createDirectory(target, 0750);
    EXPECT_EQ(modeOf(target), 0750u);

    // The umask does not take bits away.
    const mode_t old = ::umask(0077);
    file::createDirectory(path("wide"), 0755);
    ::umask(old);
    EXPECT_EQ(modeOf(path("wide")), 0755u);

    write("plain", "x");
    EXPECT_THROW(file::createDirectory(path("plain"), 0755), fs::filesystem_error);
    EXPECT_THROW(file::createDirectory(path("plain/below"), 0755), fs::filesystem_error);
}

TEST_F(FileTest, Save2FileReplacesContentAndModeWithoutLeftovers)
{
    const fs::path target = path("shared.key");
    file::save2file(target, QByteArray("first\0with nul", 14), 0600);
    EXPECT_EQ(read("shared.key"), QByteArray("first\0with nul", 14));
    EXPECT_EQ(modeOf(target), 0600u);

    file::save2file(target, "second", 0644);
    EXPECT_EQ(read("shared.key"), "second");
    EXPECT_EQ(modeOf(target), 0644u);

    file::save2file(target, {}, 0640);
    EXPECT_EQ(read("shared.key"), "");
    EXPECT_EQ(modeOf(target), 0640u);

    EXPECT_EQ(entries(), QStringList { "shared.key" });
}

TEST_F(FileTest, Save2FileReplacesASymbolicLinkInsteadOfWritingThroughIt)
{
    write("outside", "keep");
    fs::create_symlink(path("outside"), path("token"));
    file::save2file(path("token"), "new", 0644);
    EXPECT_FALSE(fs::is_symlink(path("token")));
    EXPECT_EQ(read("token"), "new");
    EXPECT_EQ(read("outside"), "keep");
}

TEST_F(FileTest, Save2FileFailuresThrowWithThePath)
{
    try {
        file::save2file(path("missing/dir/token"), "x", 0644);
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("missing/dir"), std::string::npos) << error.what();
    }
    fs::create_directory(path("adir"));
    EXPECT_THROW(file::save2file(path("adir"), "x", 0644), std::system_error);
    EXPECT_TRUE(fs::is_directory(path("adir")));
    EXPECT_EQ(entries(), QStringList { "adir" });
}

TEST_F(FileTest, Save2FileSurvivesACrashBeforeTheRename)
{
    write("address", "10.0.0.5:5000", 0640);
    const std::string child = VESK_BINARY_DIR "/vesk_utils_crash_child";
    const std::string target = path("address").string();
    const char* argv[] = { child.c_str(), target.c_str(), "10.9.9.9:7000", "0600", nullptr };
    pid_t pid = 0;
    ASSERT_EQ(
        ::posix_spawn(&pid, child.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    EXPECT_EQ(read("address"), "10.0.0.5:5000");
    EXPECT_EQ(modeOf(path("address")), 0640u);
    // The child did get as far as a complete temporary file: the crash hit between write and
    // rename, not before the write.
    const QStringList names = entries();
    ASSERT_EQ(names.size(), 2) << names.join(", ").toStdString();
    const QString temporary = names.at(0);
    EXPECT_TRUE(temporary.startsWith(".address.")) << temporary.toStdString();
    EXPECT_EQ(read(temporary), "10.9.9.9:7000");

    // The next save still works.
    file::save2file(path("address"), "10.0.0.6:5000", 0644);
    EXPECT_EQ(read("address"), "10.0.0.6:5000");
}

TEST_F(FileTest, ReaderNeverSeesAHalfWrittenFile)
{
    const QByteArray a(256 * 1024, 'a');
    const QByteArray b(512 * 1024, 'b');
    const fs::path target = path("playlist.ini");
    file::save2file(target, a, 0644);

    std::atomic<bool> done = false;
    std::atomic<int> torn = 0;
    std::atomic<int> reads = 0;
    std::thread reader([&] {
        while (!done) {
            const QByteArray seen = file::readFile(target, false);
            if (seen != a && seen != b)
                ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 40; ++i)
        file::save2file(target, i % 2 ? a : b, 0644);
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
}

TEST_F(FileTest, ReadFile)
{
    write("token", QByteArray("\x01\x02\0\x04", 4));
    EXPECT_EQ(file::readFile(path("token"), false), QByteArray("\x01\x02\0\x04", 4));
    EXPECT_EQ(file::readFile(path("token"), true), QByteArray("\x01\x02\0\x04", 4));

    EXPECT_TRUE(file::readFile(path("missing"), true).isEmpty());
    EXPECT_THROW(file::readFile(path("missing"), false), fs::filesystem_error);
    // Only a missing file is forgiven.
    fs::create_directory(path("adir"));
    EXPECT_THROW(file::readFile(path("adir"), true), fs::filesystem_error);

    const QByteArray big(3 * 65536 + 17, 'z');
    write("big", big);
    EXPECT_EQ(file::readFile(path("big"), false), big);
    // A file whose size the kernel does not know in advance.
    EXPECT_FALSE(file::readFile("/proc/self/status", false).isEmpty());
}

TEST_F(FileTest, UsedSeesAFileOpenedByAnotherProcess)
{
    write("TF", "checksums");
    EXPECT_FALSE(file::used(path("TF")));

    // Our own descriptors do not count.
    QFile own(QString::fromStdString(path("TF").string()));
    ASSERT_TRUE(own.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file::used(path("TF")));

    QProcess holder;
    holder.start("/bin/sh",
        { "-c", "exec 3<\"$1\"; echo ready; read line", "sh",
            QString::fromStdString(path("TF").string()) });
    ASSERT_TRUE(holder.waitForStarted(10000));
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    EXPECT_EQ(holder.readAllStandardOutput(), "ready\n");
    EXPECT_TRUE(file::used(path("TF")));

    // Another file in the same directory is not affected.
    write("other", "x");
    EXPECT_FALSE(file::used(path("other")));

    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    EXPECT_FALSE(file::used(path("TF")));
    EXPECT_FALSE(file::used(path("missing")));
}

TEST_F(FileTest, ChangeAttributesSetsAndClearsImmutable)
{
    write("TF", "checksums");
    const fs::path tf = path("TF");
    EXPECT_FALSE(file::changeAttributes(path("missing"), { 16 }, {}));

    if (!file::changeAttributes(tf, { 16 }, {}))
        GTEST_SKIP() << "this file system or process cannot set the immutable flag";
    struct Clear
    {
        fs::path tf;
        ~Clear() { file::changeAttributes(tf, {}, { 16 }); }
    } clear { tf };

    // The kernel now refuses to change the file, even for root.
    EXPECT_EQ(::open(tf.c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::unlink(tf.c_str()), -1);
    // Setting what is already set succeeds.
    EXPECT_TRUE(file::changeAttributes(tf, file::Immutable, {}));

    EXPECT_TRUE(file::changeAttributes(tf, {}, { 16 }));
    const int fd = ::open(tf.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    ::close(fd);
}

TEST_F(FileTest, SyncCopiesNestedNamesAndRemovesUnlisted)
{
    write("sync/TF", "tf");
    write("sync/media/2026/clip.mp4", "video", 04755);
    write("sync/playlist.ini", "[playlist]", 02777);
    write("sync/not-listed.mp4", "stays in sync");
    write("work/playlist.ini", "old playlist");
    write("work/old.mp4", "old video");
    write("work/gone/deeper/old.mp4", "old video");
    fs::create_symlink("/etc/hostname", path("work/stale-link"));

    file::sync(path("work"), path("sync"), { "TF", "playlist.ini", "media/2026/clip.mp4" });

    EXPECT_EQ(entries("work"),
        (QStringList { "TF", "media", "media/2026", "media/2026/clip.mp4", "playlist.ini" }));
    EXPECT_EQ(read("work/playlist.ini"), "[playlist]");
    EXPECT_EQ(read("work/media/2026/clip.mp4"), "video");
    // Whatever the source's mode: no setuid, setgid or sticky bit reaches a work directory.
    for (const char* name : { "work/media/2026/clip.mp4", "work/playlist.ini" })
        EXPECT_EQ(modeOf(path(name)), 0644u) << name;
    EXPECT_EQ(modeOf(path("work/media/2026")), 0755u);
    // The source side is only read.
    EXPECT_EQ(read("sync/not-listed.mp4"), "stays in sync");
    EXPECT_TRUE(fs::exists("/etc/hostname"));
}

TEST_F(FileTest, SyncNormalisesNames)
{
    write("sync/media/a.mp4", "a");
    fs::create_directory(path("work"));
    file::sync(path("work"), path("sync"), { "./media//a.mp4" });
    EXPECT_EQ(entries("work"), (QStringList { "media", "media/a.mp4" }));
}

TEST(ComponentsInside, OneRuleForNamesBelowADirectory)
{
    for (const char* name : { "/etc/passwd", "../x", "a/../../etc/x", "a/..", "..", "a/../b" })
        EXPECT_FALSE(file::componentsInside(name)) << name;
    EXPECT_FALSE(file::componentsInside(std::string_view("a\0b", 3)));
    for (const char* name : { "a", "video/a.mp4", "..x", "a/..b", "x..", "./a", "", "a//b/" })
        EXPECT_TRUE(file::componentsInside(name)) << name;
    EXPECT_EQ(*file::componentsInside("./a//b/."), (std::vector<std::string> { "a", "b" }));
}

TEST_F(FileTest, SyncRefusesNamesThatClimbOut)
{
    write("sync/TF", "tf");
    write("secret", "outside");
    write("work/old.mp4", "old");
    const std::error_code outside = file::make_error_code(file::FileError::OutsideDirectory);
    const std::error_code noFile = std::make_error_code(std::errc::invalid_argument);
    const struct
    {
        QString name;
        std::error_code code;
    } table[] = {
        { "../secret", outside },
        { "media/../../secret", outside },
        { "..", outside },
        { "/etc/hostname", outside },
        { "a/..", outside },
        { QString("a") + QChar(0) + "b", outside },
        { "", noFile },
        { "./", noFile },
    };
    for (const auto& row : table) {
        try {
            file::sync(path("work"), path("sync"), { "TF", row.name });
            ADD_FAILURE() << row.name.toStdString() << " was taken";
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code(), row.code) << row.name.toStdString();
        }
        // Refused before anything was touched.
        EXPECT_EQ(entries("work"), QStringList { "old.mp4" }) << row.name.toStdString();
    }
}

TEST_F(FileTest, SyncNeverFollowsSymbolicLinks)
{
    write("secret/key", "private");
    write("sync/TF", "tf");
    fs::create_directories(path("work"));

    // A listed link in the source could hand over any file of the system.
    fs::create_symlink(path("secret/key"), path("sync/clip.mp4"));
    EXPECT_THROW(
        file::sync(path("work"), path("sync"), { "TF", "clip.mp4" }), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(path("work/clip.mp4")));

    // So could a linked directory on the way.
    fs::create_directory_symlink(path("secret"), path("sync/media"));
    EXPECT_THROW(file::sync(path("work"), path("sync"), { "media/key" }), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(path("work/media/key")));

    // A linked directory in the target is replaced by a real one, never written through.
    write("sync/real/clip.mp4", "video");
    fs::create_directory_symlink(path("secret"), path("work/real"));
    write("sync/key", "from sync");
    fs::create_symlink(path("secret/key"), path("work/key"));
    file::sync(path("work"), path("sync"), { "real/clip.mp4", "key" });
    EXPECT_FALSE(fs::is_symlink(path("work/real")));
    EXPECT_FALSE(fs::is_symlink(path("work/key")));
    EXPECT_EQ(read("work/real/clip.mp4"), "video");
    EXPECT_EQ(read("work/key"), "from sync");
    EXPECT_EQ(entries("secret"), QStringList { "key" });
    EXPECT_EQ(read("secret/key"), "private");
}

TEST_F(FileTest, SyncOfAMissingSourceThrowsAndLeavesNoTemporaryFile)
{
    write("sync/TF", "tf");
    write("work/unlisted.mp4", "the target is ours to rebuild");
    EXPECT_THROW(
        file::sync(path("work"), path("sync"), { "TF", "missing.mp4" }), fs::filesystem_error);
    EXPECT_EQ(entries("work"), QStringList { "TF" });
    EXPECT_THROW(file::sync(path("nowhere"), path("sync"), { "TF" }), fs::filesystem_error);
}

TEST_F(FileTest, SyncCopiesLargeFiles)
{
    QByteArray big(5 * 1024 * 1024 + 3, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    write("sync/big.mp4", big);
    write("work/big.mp4", "short old content");
    file::sync(path("work"), path("sync"), { "big.mp4" });
    EXPECT_EQ(read("work/big.mp4"), big);
    EXPECT_EQ(entries("work"), QStringList { "big.mp4" });
}
