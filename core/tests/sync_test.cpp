#include "logcapture.h"
#include "statusreport.h"
#include "testcore.h"
#include "xxhsum.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log/level.h>
#include <vesk/ssl/crypto.h>
#include <vesk/stream.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;
using vesk::log::Level;
using vesk::test::LogCapture;
using vesk::test::TestCore;
using vesk::test::writeFile;

namespace {

const QString started = QStringLiteral("Началась синхронизация папок");
const QString noTf
    = QStringLiteral(" в директории синхронизации отсутствует файл транзакции - пропуск");
const QString upToDate = QStringLiteral(" данные актуальны - синхронизация не требуется");
const QString finished = QStringLiteral("  синхронизация завершена");
const QString playlistChanged = QStringLiteral("Плейлист изменен");

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The inode flags of a file without following a link; -1 when they cannot be read.
int inodeFlags(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int flags = 0;
    const int result = ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    ::close(fd);
    return result == 0 ? flags : -1;
}

bool isImmutable(const QString& path)
{
    const int flags = inodeFlags(path);
    return flags >= 0 && (flags & FS_IMMUTABLE_FL) != 0;
}

fs::path fsPath(const QString& path)
{
    return fs::path(path.toUtf8().toStdString());
}

// Every regular file below dir, relative names to contents.
QMap<QString, QByteArray> contents(const QString& dir)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        result.insert(QDir(dir).relativeFilePath(path), readFile(path));
    }
    return result;
}

const QByteArray playlistIni = "[placeholder]\nurl=http://example.org/idle.png\n";

// A home as the connect command leaves it (link naming work_dir_a) and a retry timer as init()
// makes it; the rest of init() is not needed here.
void prepareHome(TestCore& core)
{
    for (const QString& dir : { core.syncPath(), core.workPathA(), core.workPathB() }) {
        ASSERT_TRUE(QDir().mkpath(dir));
    }
    fs::create_symlink("work_dir_a", fsPath(core.workPathClean()));
    core.m_syncTimer = new QTimer();
    core.m_syncTimer->setInterval(60000);
    LogCapture::instance().clear();
}

class Sync : public testing::Test
{
protected:
    void SetUp() override { prepareHome(m_core); }

    QString sync(const QString& name = {}) const
    {
        return name.isEmpty() ? m_core.syncPath() : m_core.syncPath() + "/" + name;
    }

    // Media files and the playlist in the sync directory; TF comes separately, as it comes last.
    void deliverFiles()
    {
        ASSERT_TRUE(writeFile(sync("playlist.ini"), playlistIni));
        ASSERT_TRUE(writeFile(sync("a.mp4"), QByteArray(10000, 'a')));
        ASSERT_TRUE(writeFile(sync("video/b.mp4"), QByteArray(70000, 'b')));
        ASSERT_TRUE(writeFile(sync("video/deep/er/c.mp4"), QByteArray(3, 'c')));
    }

    static QStringList deliveredNames()
    {
        return { "playlist.ini", "a.mp4", "video/b.mp4", "video/deep/er/c.mp4" };
    }

    QByteArray xxhsumTf(const QStringList& names) const
    {
        const QByteArray lines = vesk::test::xxhsumLines(sync(), names);
        EXPECT_FALSE(lines.isEmpty()) << "xxhsum failed";
        return lines;
    }

    void writeTf(const QByteArray& lines) { ASSERT_TRUE(writeFile(sync("TF"), lines)); }

    void deliver()
    {
        deliverFiles();
        writeTf(xxhsumTf(deliveredNames()));
    }

    QString linkTarget() const
    {
        std::error_code error;
        return QString::fromStdString(fs::read_symlink(fsPath(m_core.workPathClean()), error));
    }

    QStringList messages() const { return LogCapture::instance().messages("vesk.core"); }

    // Runs what was queued; the playlist application of a successful run is queued, not direct.
    static void runQueued() { QCoreApplication::processEvents(); }

    int count(const QString& message) const { return int(messages().count(message)); }

    // What the run promises whenever the delivery was not switched in.
    void expectNotSwitched()
    {
        EXPECT_EQ(linkTarget(), "work_dir_a");
        runQueued();
        EXPECT_EQ(count(playlistChanged), 0);
        EXPECT_FALSE(isImmutable(sync("TF")));
    }

    TestCore m_core;
};

TEST_F(Sync, SuccessSwitchesTheLinkToTheCompleteCopy)
{
    deliver();
    ASSERT_TRUE(writeFile(m_core.workPathB() + "/stale.mp4", "left from an older delivery"));
    m_core.onSync();

    EXPECT_EQ(linkTarget(), "work_dir_b");
    const auto copied = contents(m_core.workPathB());
    EXPECT_EQ(copied, contents(sync()));
    EXPECT_EQ(copied.keys(),
        QStringList({ "TF", "a.mp4", "playlist.ini", "video/b.mp4", "video/deep/er/c.mp4" }));
    EXPECT_FALSE(m_core.m_syncTimer->isActive());
    EXPECT_FALSE(isImmutable(sync("TF")));
    EXPECT_EQ(messages(),
        QStringList({ started, "  грязная директория " + m_core.workPathB(),
            "  копирование файлов playlist.ini, a.mp4, video/b.mp4, video/deep/er/c.mp4, TF",
            "  переключение чистой и грязной директорий", finished }));

    // The playlist is applied once, after the run, from the directory that is clean now.
    EXPECT_EQ(count(playlistChanged), 0);
    runQueued();
    EXPECT_EQ(count(playlistChanged), 1);
    EXPECT_EQ(m_core.m_stream->programme().placeholder, "http://example.org/idle.png");
    EXPECT_EQ(m_core.m_stream->programme().directory, m_core.workPathB());
    runQueued();
    EXPECT_EQ(count(playlistChanged), 1);
}

TEST_F(Sync, TransactionFileIsImmutableWhileTheRunReadsIt)
{
    ASSERT_TRUE(writeFile(sync("a.mp4"), "a"));
    writeTf(xxhsumTf({ "a.mp4" }));
    bool immutableDuringRun = false;
    LogCapture::instance().hook = [&](const LogCapture::Line& line) {
        if (line.message.startsWith("  копирование файлов"))
            immutableDuringRun = isImmutable(sync("TF"));
    };
    const auto unhook = qScopeGuard([] { LogCapture::instance().hook = {}; });
    m_core.onSync();
    EXPECT_TRUE(immutableDuringRun);
    EXPECT_FALSE(isImmutable(sync("TF")));
    EXPECT_EQ(linkTarget(), "work_dir_b");
}

// A TF changed on disk after the run read it (here by root, past the attribute) is not what the
// run copies: the files are verified against, and the copy's TF written from, what was read.
TEST_F(Sync, TheCopyIsOfTheTransactionFileTheRunRead)
{
    ASSERT_TRUE(writeFile(sync("a.mp4"), "a"));
    ASSERT_TRUE(writeFile(sync("b.mp4"), "b"));
    const QByteArray read = xxhsumTf({ "a.mp4", "b.mp4" });
    writeTf(read);
    bool rewritten = false;
    LogCapture::instance().hook = [&](const LogCapture::Line& line) {
        if (!line.message.startsWith("  грязная директория"))
            return;
        vesk::file::changeAttributes(fsPath(sync("TF")), {}, vesk::file::Immutable);
        rewritten = writeFile(sync("TF"), xxhsumTf({ "a.mp4" }));
    };
    const auto unhook = qScopeGuard([] { LogCapture::instance().hook = {}; });
    m_core.onSync();
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(linkTarget(), "work_dir_b");
    EXPECT_EQ(contents(m_core.workPathB()),
        (QMap<QString, QByteArray> { { "TF", read }, { "a.mp4", "a" }, { "b.mp4", "b" } }));
}

// The queued playlist application takes the directory the run verified, never looked up again:
// a directory put in its place meanwhile is not played. The status names what plays by the XXH64
// of its TF, as xxhsum computes it.
TEST_F(Sync, ThePlaylistOfTheVerifiedDirectoryIsApplied)
{
    deliver();
    m_core.onSync();
    ASSERT_TRUE(QDir().rename(m_core.workPathB(), m_core.homePath() + "/verified"));
    ASSERT_TRUE(writeFile(m_core.workPathB() + "/playlist.ini", "[placeholder]\nurl=impostor\n"));
    runQueued();
    EXPECT_EQ(m_core.m_stream->programme().placeholder, "http://example.org/idle.png");
    ASSERT_TRUE(m_core.m_status->played);
    EXPECT_EQ(vesk::status::deliveryText(m_core.m_status->played->delivery),
        QString::fromLatin1(xxhsumTf({ "TF" }).left(16)));
}

// Until a playlist application moves it on, the engine plays the directory that is dirty now: a
// delivery in that moment waits, and brings the engine to the played directory.
TEST_F(Sync, TheDirectoryTheEngineStillPlaysIsNeverRebuilt)
{
    deliver();
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/a.mp4", "played"));
    m_core.onSync();
    ASSERT_EQ(linkTarget(), "work_dir_b");
    runQueued();
    // A playlist application that did not come (it failed, or is still queued).
    m_core.m_stream->setProgramme({}, m_core.workPathA(), nullptr, {});

    ASSERT_TRUE(writeFile(sync("a.mp4"), "a new a"));
    writeTf(xxhsumTf(deliveredNames()));
    LogCapture::instance().clear();
    m_core.onSync();
    EXPECT_TRUE(LogCapture::instance().contains(Level::error, "vesk.core",
        "  директория " + m_core.workPathA()
            + " не может быть использована: это воспроизводимая директория - пропускаем "
              "синхронизацию"));
    EXPECT_EQ(readFile(m_core.workPathA() + "/a.mp4"), "played");
    EXPECT_TRUE(m_core.m_syncTimer->isActive());
    EXPECT_EQ(linkTarget(), "work_dir_b");

    runQueued();
    ASSERT_EQ(m_core.m_stream->programme().directory, m_core.workPathB());
    m_core.safe_wrap<&vesk::Core::onSync>();
    EXPECT_EQ(linkTarget(), "work_dir_a");
    EXPECT_EQ(readFile(m_core.workPathA() + "/a.mp4"), "a new a");
}

TEST_F(Sync, SecondDeliverySwitchesBack)
{
    deliverFiles();
    // Names as "./name": the played TF is read by the same parser as the next one.
    writeTf(xxhsumTf(deliveredNames().replaceInStrings(QRegularExpression("^"), "./")));
    m_core.onSync();
    ASSERT_EQ(linkTarget(), "work_dir_b");

    ASSERT_TRUE(writeFile(sync("a.mp4"), "a new a"));
    writeTf(xxhsumTf(deliveredNames()));
    m_core.onSync();
    EXPECT_EQ(linkTarget(), "work_dir_a");
    EXPECT_EQ(readFile(m_core.workPathA() + "/a.mp4"), "a new a");
    // The content played before stays as it was until the next delivery overwrites it.
    EXPECT_EQ(readFile(m_core.workPathB() + "/a.mp4"), QByteArray(10000, 'a'));
    // Unchanged files are shared with the played directory, never copied again.
    const auto links = [](const QString& path) { return fs::hard_link_count(fsPath(path)); };
    EXPECT_EQ(links(m_core.workPathA() + "/video/b.mp4"), 2u);
    EXPECT_EQ(links(m_core.workPathA() + "/a.mp4"), 1u);

    // A played file damaged on disk is caught in the copy, and copied from the delivery instead.
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/video/b.mp4", "damaged in place"));
    ASSERT_TRUE(writeFile(sync("a.mp4"), "a third a"));
    writeTf(xxhsumTf(deliveredNames()));
    m_core.onSync();
    EXPECT_EQ(linkTarget(), "work_dir_b");
    EXPECT_EQ(readFile(m_core.workPathB() + "/video/b.mp4"), QByteArray(70000, 'b'));
}

TEST_F(Sync, HashMismatchLeavesTheLinkAndRetries)
{
    deliver();
    ASSERT_TRUE(writeFile(sync("video/b.mp4"), "still being written"));
    m_core.onSync();
    EXPECT_TRUE(m_core.m_syncTimer->isActive());
    EXPECT_TRUE(LogCapture::instance().contains(
        Level::error, "vesk.core", "  хеш сумма для файла video/b.mp4 не совпадает с эталонной"));
    expectNotSwitched();
    // Nothing was copied: the check stops before the copy.
    EXPECT_TRUE(contents(m_core.workPathB()).isEmpty());
}

TEST_F(Sync, MissingFileLeavesTheLinkAndRetries)
{
    deliver();
    QFile::remove(sync("a.mp4"));
    m_core.onSync();
    EXPECT_TRUE(m_core.m_syncTimer->isActive());
    EXPECT_TRUE(LogCapture::instance().contains(
        Level::warn, "vesk.core", "  ошибка чтения файла a.mp4: No such file or directory"));
    expectNotSwitched();
}

TEST_F(Sync, RetryAfterTheDeliveryCompletedSucceeds)
{
    deliver();
    const QByteArray complete = readFile(sync("video/b.mp4"));
    ASSERT_TRUE(writeFile(sync("video/b.mp4"), complete.left(100)));
    m_core.onSync();
    ASSERT_TRUE(m_core.m_syncTimer->isActive());
    ASSERT_TRUE(writeFile(sync("video/b.mp4"), complete));
    // What the retry timer would run.
    m_core.safe_wrap<&vesk::Core::onSync>();
    EXPECT_EQ(linkTarget(), "work_dir_b");
    EXPECT_FALSE(m_core.m_syncTimer->isActive());
}

TEST_F(Sync, NoTransactionFileDoesNotRetry)
{
    deliverFiles();
    m_core.m_syncTimer->start();
    m_core.onSync();
    EXPECT_EQ(messages(), QStringList({ started, noTf }));
    EXPECT_FALSE(m_core.m_syncTimer->isActive());
    EXPECT_EQ(linkTarget(), "work_dir_a");
}

TEST_F(Sync, IdenticalTransactionFileCopiesNothing)
{
    deliver();
    m_core.onSync();
    ASSERT_EQ(linkTarget(), "work_dir_b");
    runQueued();

    // Changes beside an unchanged TF are not a delivery.
    ASSERT_TRUE(writeFile(sync("a.mp4"), "changed without a new TF"));
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/marker", "a copy would remove this"));
    const auto before = contents(m_core.workPathA());
    // Left behind by a run that was killed: a look that finds nothing new clears it all the same.
    ASSERT_TRUE(vesk::file::changeAttributes(fsPath(sync("TF")), vesk::file::Immutable, {}));
    LogCapture::instance().clear();
    m_core.onSync();
    EXPECT_FALSE(isImmutable(sync("TF")));
    EXPECT_EQ(messages(), QStringList({ started, upToDate }));
    EXPECT_EQ(contents(m_core.workPathA()), before);
    EXPECT_EQ(linkTarget(), "work_dir_b");
    EXPECT_FALSE(m_core.m_syncTimer->isActive());
    runQueued();
    EXPECT_EQ(count(playlistChanged), 0);
}

TEST_F(Sync, NamesOutsideTheSyncDirectoryAreNeitherVerifiedNorCopied)
{
    deliverFiles();
    ASSERT_TRUE(writeFile(m_core.homePath() + "/outside", "not part of any delivery"));
    QByteArray tf = xxhsumTf(deliveredNames());
    tf += xxhsumTf({ "../outside", "video/../../outside" });
    tf += xxhsumTf({ m_core.homePath() + "/outside" });
    writeTf(tf);
    m_core.onSync();

    EXPECT_EQ(linkTarget(), "work_dir_b");
    const QString warning = "  файл %1 будет пропущен, так как он находится за пределами "
                            "директории синхронизации";
    for (const QString& name :
        { QString("../outside"), QString("video/../../outside"), m_core.homePath() + "/outside" }) {
        // TF is read once in a run, and the copy is verified against what was read.
        EXPECT_EQ(count(warning.arg(name)), 1) << name.toStdString();
    }
    EXPECT_EQ(contents(m_core.workPathB()).keys(),
        QStringList({ "TF", "a.mp4", "playlist.ini", "video/b.mp4", "video/deep/er/c.mp4" }));
    EXPECT_EQ(contents(m_core.homePath()).keys().filter("outside"), QStringList({ "outside" }));
}

TEST_F(Sync, CrlfLinesAndNoFinalLineFeed)
{
    deliverFiles();
    QByteArray tf = xxhsumTf(deliveredNames());
    tf.replace("\n", "\r\n");
    tf.chop(2);
    writeTf(tf);
    m_core.onSync();
    EXPECT_EQ(linkTarget(), "work_dir_b");
    EXPECT_EQ(contents(m_core.workPathB()).size(), 5);
}

TEST_F(Sync, LinkedFileInTheDeliveryIsAReadError)
{
    deliverFiles();
    ASSERT_TRUE(writeFile(m_core.homePath() + "/secret", "not to be copied"));
    fs::create_symlink(fsPath(m_core.homePath() + "/secret"), fsPath(sync("linked.mp4")));
    fs::create_directory_symlink(fsPath(m_core.homePath()), fsPath(sync("linkeddir")));
    for (const QString& name :
        { QStringLiteral("linked.mp4"), QStringLiteral("linkeddir/secret") }) {
        SCOPED_TRACE(name.toStdString());
        // xxhsum follows links, so the checksums match what the links name.
        writeTf(xxhsumTf(deliveredNames() + QStringList { name }));
        LogCapture::instance().clear();
        m_core.onSync();
        EXPECT_TRUE(LogCapture::instance().contains(Level::warn, "vesk.core",
            "  ошибка чтения файла " + name + ": Too many levels of symbolic links"));
        EXPECT_TRUE(m_core.m_syncTimer->isActive());
        expectNotSwitched();
    }
    EXPECT_FALSE(contents(m_core.workPathB()).contains("linked.mp4"));
}

TEST_F(Sync, LinkedTransactionFileLeavesTheLinkedFilesFlagsAlone)
{
    deliverFiles();
    const QString target = m_core.homePath() + "/protected";
    ASSERT_TRUE(writeFile(target, xxhsumTf(deliveredNames())));
    ASSERT_TRUE(vesk::file::changeAttributes(fsPath(target), vesk::file::Immutable, {}));
    fs::create_symlink(fsPath(target), fsPath(sync("TF")));
    m_core.onSync();
    const bool stillImmutable = isImmutable(target);
    vesk::file::changeAttributes(fsPath(target), {}, vesk::file::Immutable);
    EXPECT_TRUE(stillImmutable);
    EXPECT_EQ(messages(), QStringList({ started, noTf }));
    EXPECT_EQ(linkTarget(), "work_dir_a");
}

TEST_F(Sync, TransactionFileInUseIsRetried)
{
    deliver();
    // Another process holds TF open and says so once it does.
    QProcess holder;
    holder.start("sh", { "-c", "exec 3<\"$0\"; echo ready; read line", sync("TF") });
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    m_core.onSync();
    holder.write("done\n");
    holder.closeWriteChannel();
    holder.waitForFinished(10000);

    EXPECT_EQ(messages(),
        QStringList({ started,
            " файл " + sync("TF") + " используется другим процессом - пропускаем синхронизацию" }));
    EXPECT_TRUE(m_core.m_syncTimer->isActive());
    expectNotSwitched();
}

// The link switch fails, as on a read-only disk (here the home is immutable): the attribute is
// cleared, the run retried, nothing applied.
TEST_F(Sync, AFailedSwitchClearsTheAttributeAndRetries)
{
    deliver();
    const auto home = fsPath(m_core.homePath());
    ASSERT_TRUE(vesk::file::changeAttributes(home, vesk::file::Immutable, {}));
    const auto mutableAgain
        = qScopeGuard([&] { vesk::file::changeAttributes(home, {}, vesk::file::Immutable); });
    m_core.safe_wrap<&vesk::Core::onSync>();
    EXPECT_TRUE(m_core.m_syncTimer->isActive());
    const QStringList said = messages();
    EXPECT_TRUE(said.last().startsWith("unhandled exception: ")
        && said.last().contains("Operation not permitted"))
        << said.last().toStdString();
    expectNotSwitched();
}

// A register paired while the service runs: its home had no sync directory when init() ran, and
// the first delivery after the connect command is switched in without a restart.
TEST(SyncAfterPairing, FreshlyPairedRegisterTakesDeliveries)
{
    TestCore core;
    ASSERT_FALSE(QFileInfo::exists(core.syncPath()));
    ASSERT_TRUE(core.init());
    ASSERT_TRUE(LogCapture::instance().waitFor(Level::info, "vesk.core", noTf));

    const auto [privateKey, publicKey] = vesk::ssl::generateKeyPairEC();
    const QJsonObject body {
        { "type", "file-rsync" },
        { "keyToken", QUuid::createUuid().toString() },
        { "serverKey", QString::fromLatin1(publicKey.der().toBase64()) },
        { "clientKey",
            "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 "
            "server" },
        { "server", "127.0.0.1:9" },
    };
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    LogCapture::instance().clear();
    // The server accepts on this thread's event loop, which the wait keeps running.
    QTcpSocket client;
    QSignalSpy closed(&client, &QTcpSocket::disconnected);
    client.connectToHost(QHostAddress::LocalHost, core.listenPort);
    client.write("POST /v1/command/connect HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Content-Type: application/json\r\nContent-Length: "
        + QByteArray::number(json.size()) + "\r\n\r\n" + json);
    ASSERT_TRUE(closed.wait(30000));
    const QByteArray answer = client.readAll();
    ASSERT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.toStdString();
    ASSERT_TRUE(QFileInfo(core.syncPath()).isDir());
    // The Core takes over the new sync directory on its own thread and looks at it once.
    ASSERT_TRUE(LogCapture::instance().waitFor(Level::info, "vesk.core", noTf));

    LogCapture::instance().clear();
    ASSERT_TRUE(writeFile(core.syncPath() + "/playlist.ini", playlistIni));
    ASSERT_TRUE(writeFile(core.syncPath() + "/a.mp4", QByteArray(5000, 'a')));
    ASSERT_TRUE(writeFile(core.syncPath() + "/TF",
        vesk::test::xxhsumLines(core.syncPath(), { "playlist.ini", "a.mp4" })));
    ASSERT_TRUE(LogCapture::instance().waitFor(Level::info, "vesk.core", finished));
    EXPECT_EQ(QString::fromStdString(fs::read_symlink(fsPath(core.workPathClean()))), "work_dir_b");
    ASSERT_TRUE(LogCapture::instance().waitFor(Level::info, "vesk.core", "  плейлист применен"));
    EXPECT_EQ(core.m_stream->programme().placeholder, "http://example.org/idle.png");
}

} // namespace
