#include "httpclient.h"
#include "logcapture.h"
#include "parsehostport.h"
#include "testcore.h"

#include <vesk/httpresponse.h>
#include <vesk/httpserver.h>
#include <vesk/protocol/status.h>
#include <vesk/stream.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using vesk::log::Level;
using vesk::test::LogCapture;
using vesk::test::TestCore;

namespace {

// Runs the event loop until the condition holds; false after the time-out.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Records the main-thread handlers instead of running them.
class RecordingCore : public TestCore
{
public:
    using TestCore::TestCore;

    void onHeartbeat() override { calls.append("heartbeat"); }
    void onSync() override { calls.append("sync"); }
    void onPlaylistChanged() override { calls.append("playlist"); }

    QStringList calls;
};

} // namespace

// --- parseHostPort ---------------------------------------------------------------------------

struct HostPortCase
{
    const char* text;
    bool ok;
    const char* address;
    quint16 port;
};

class ParseHostPort : public testing::TestWithParam<HostPortCase>
{
};

TEST_P(ParseHostPort, SplitsAtColons)
{
    const HostPortCase& c = GetParam();
    bool ok = !c.ok;
    const auto [address, port] = vesk::detail::parseHostPort(QString::fromUtf8(c.text), &ok);
    EXPECT_EQ(ok, c.ok);
    if (c.ok) {
        EXPECT_EQ(address, QHostAddress(QString::fromUtf8(c.address)));
        EXPECT_EQ(port, c.port);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ParseHostPort,
    testing::Values(HostPortCase { "10.0.0.5:5000", true, "10.0.0.5", 5000 },
        HostPortCase { "1.2.3.4:80:x", true, "1.2.3.4", 80 },
        HostPortCase { "0.0.0.0:0", true, "0.0.0.0", 0 },
        HostPortCase { "239.1.2.3:65535", true, "239.1.2.3", 65535 },
        HostPortCase { "10.0.0.5", false, "", 0 }, HostPortCase { "10.0.0.5:", false, "", 0 },
        HostPortCase { "10.0.0.5:70000", false, "", 0 },
        HostPortCase { "10.0.0.5:-1", false, "", 0 }, HostPortCase { "10.0.0.5:8o", false, "", 0 },
        HostPortCase { "register.example:5000", false, "", 0 },
        HostPortCase { "[::1]:5000", false, "", 0 }, HostPortCase { "::1", false, "", 0 },
        HostPortCase { ":5000", false, "", 0 }, HostPortCase { "", false, "", 0 }));

TEST(ParseHostPortFlag, PortFailureZeroesThePort)
{
    bool ok = true;
    const auto [address, port] = vesk::detail::parseHostPort("10.0.0.5:70000", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(address, QHostAddress("10.0.0.5"));
}

// --- Layout ----------------------------------------------------------------------------------

TEST(CoreLayout, PathsLiveInTheHome)
{
    TestCore core;
    const QString home = core.homeDir;
    EXPECT_EQ(core.homePath(), home);
    EXPECT_EQ(core.workPathA(), home + "/work_dir_a");
    EXPECT_EQ(core.workPathB(), home + "/work_dir_b");
    EXPECT_EQ(core.workPathClean(), home + "/work_dir");
    EXPECT_EQ(core.syncPath(), home + "/sync_dir");
    EXPECT_EQ(core.sshPath(), home + "/.ssh");
    EXPECT_EQ(core.authorizedKeysPath(), home + "/.ssh/authorized_keys");
    EXPECT_EQ(core.serverAddressPath(), home + "/address");
    EXPECT_EQ(core.sharedKeyPath(), home + "/shared.key");
    EXPECT_EQ(core.accessTokenPath(), home + "/token");
    EXPECT_EQ(core.transactionFilePath("/x/sync_dir"), "/x/sync_dir/TF");
    EXPECT_EQ(core.transactionFilePath("/x/sync_dir/"), "/x/sync_dir//TF");
    EXPECT_EQ(core.playlistFilePath("/x/work_dir"), "/x/work_dir/playlist.ini");
}

TEST(CoreLayout, ProductionHomeIsFixed)
{
    vesk::Core core;
    EXPECT_EQ(core.homePath(), "/var/lib/morlen-vesk");
    EXPECT_EQ(core.workPathClean(), "/var/lib/morlen-vesk/work_dir");
    EXPECT_EQ(core.sharedKeyPath(), "/var/lib/morlen-vesk/shared.key");
    EXPECT_EQ(core.transactionFilePath(core.syncPath()), "/var/lib/morlen-vesk/sync_dir/TF");
    EXPECT_STREQ(core.metaObject()->className(), "vesk::Core");
    EXPECT_EQ(core.parent(), nullptr);
}

// --- Work directories ------------------------------------------------------------------------

enum class LinkState { toA, toB, missing, absoluteToB, garbage, staleTemporary, danglingTemporary };

struct LinkCase
{
    LinkState state;
    const char* dirty;
    const char* afterSwap;
};

class WorkLink : public testing::TestWithParam<LinkCase>
{
};

TEST_P(WorkLink, DirtyIsTheOtherAndSwapRenamesOver)
{
    TestCore core;
    const fs::path home = core.homeDir.toStdString();
    fs::create_directory(home / "work_dir_a");
    fs::create_directory(home / "work_dir_b");
    const fs::path link = home / "work_dir";
    switch (GetParam().state) {
    case LinkState::toA:
        fs::create_symlink("work_dir_a", link);
        break;
    case LinkState::toB:
        fs::create_symlink("work_dir_b", link);
        break;
    case LinkState::missing:
        break;
    case LinkState::absoluteToB:
        fs::create_symlink(home / "work_dir_b", link);
        break;
    case LinkState::garbage:
        fs::create_symlink("elsewhere", link);
        break;
    case LinkState::staleTemporary:
        // A crash after the temporary link was made and before it was renamed.
        fs::create_symlink("work_dir_a", link);
        fs::create_symlink("work_dir_b", home / "work_dir.swap");
        break;
    case LinkState::danglingTemporary:
        fs::create_symlink("work_dir_b", link);
        fs::create_symlink("nowhere", home / "work_dir.swap");
        break;
    }

    EXPECT_EQ(core.workPathDirty(), core.homeDir + "/" + GetParam().dirty);
    core.swapWorkPaths();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), fs::path(GetParam().afterSwap));
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "work_dir.swap")));
    // The directory that was filled as the dirty one is what the link names now.
    EXPECT_EQ(fs::canonical(link), fs::canonical(home / GetParam().dirty));
}

INSTANTIATE_TEST_SUITE_P(States, WorkLink,
    testing::Values(LinkCase { LinkState::toA, "work_dir_b", "work_dir_b" },
        LinkCase { LinkState::toB, "work_dir_a", "work_dir_a" },
        LinkCase { LinkState::missing, "work_dir_b", "work_dir_b" },
        LinkCase { LinkState::absoluteToB, "work_dir_a", "work_dir_a" },
        LinkCase { LinkState::garbage, "work_dir_b", "work_dir_b" },
        LinkCase { LinkState::staleTemporary, "work_dir_b", "work_dir_b" },
        LinkCase { LinkState::danglingTemporary, "work_dir_a", "work_dir_a" }));

TEST(WorkLinkSwap, TwoSwapsReturnToTheStart)
{
    TestCore core;
    const fs::path link = fs::path(core.homeDir.toStdString()) / "work_dir";
    fs::create_symlink("work_dir_a", link);
    core.swapWorkPaths();
    EXPECT_EQ(fs::read_symlink(link), "work_dir_b");
    EXPECT_EQ(core.workPathDirty(), core.workPathA());
    core.swapWorkPaths();
    EXPECT_EQ(fs::read_symlink(link), "work_dir_a");
    EXPECT_EQ(core.workPathDirty(), core.workPathB());
}

TEST(WorkLinkSwap, PlainDirectoryIsNotReplaced)
{
    TestCore core;
    const fs::path home = core.homeDir.toStdString();
    fs::create_directory(home / "work_dir");
    QFile file(core.homeDir + "/work_dir/keep");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    EXPECT_EQ(core.workPathDirty(), core.workPathB());
    EXPECT_THROW(core.swapWorkPaths(), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(home / "work_dir")));
    EXPECT_TRUE(fs::exists(home / "work_dir" / "keep"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "work_dir.swap")));
}

TEST(WorkLinkSwap, MissingHomeThrows)
{
    TestCore core;
    fs::remove_all(core.homeDir.toStdString());
    EXPECT_THROW(core.swapWorkPaths(), fs::filesystem_error);
}

// A reader that looks at the link while it is switched must always find it.
TEST(WorkLinkSwap, LinkNeverDisappears)
{
    TestCore core;
    const fs::path link = fs::path(core.homeDir.toStdString()) / "work_dir";
    fs::create_symlink("work_dir_a", link);
    const std::string linkPath = link.string();
    std::atomic<bool> done { false };
    std::atomic<int> missing { 0 };
    std::atomic<int> looks { 0 };
    std::thread reader([&] {
        struct stat st;
        while (!done) {
            if (::lstat(linkPath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
                ++missing;
            ++looks;
        }
    });
    for (int i = 0; i < 2000; ++i)
        core.swapWorkPaths();
    done = true;
    reader.join();
    EXPECT_GT(looks.load(), 0);
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(fs::read_symlink(link), "work_dir_a");
}

// --- init() ----------------------------------------------------------------------------------

TEST(CoreInit, FirstQueuedCallsAreHeartbeatSyncPlaylist)
{
    RecordingCore core;
    ASSERT_TRUE(core.init());
    // Nothing runs inside init(): the calls are queued.
    EXPECT_TRUE(core.calls.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return core.calls.size() >= 3; }));
    EXPECT_EQ(core.calls.mid(0, 3), (QStringList { "heartbeat", "sync", "playlist" }));

    ASSERT_TRUE(core.m_heartbeatTimer);
    EXPECT_TRUE(core.m_heartbeatTimer->isActive());
    EXPECT_EQ(core.m_heartbeatTimer->interval(), 60000);
    EXPECT_FALSE(core.m_heartbeatTimer->isSingleShot());
    ASSERT_TRUE(core.m_playlistTimer);
    EXPECT_TRUE(core.m_playlistTimer->isActive());
    EXPECT_EQ(core.m_playlistTimer->interval(), 86400000);
    ASSERT_TRUE(core.m_syncTimer);
    EXPECT_FALSE(core.m_syncTimer->isActive());
    ASSERT_TRUE(core.m_socket);
    EXPECT_EQ(core.m_socket->state(), QAbstractSocket::BoundState);
    EXPECT_NE(core.m_socket->localPort(), 0);
    // The engine was bound before it was given its destination.
    EXPECT_NE(core.m_stream->localPort(), 0);
}

TEST(CoreInit, TimersRunTheirHandlers)
{
    RecordingCore core;
    ASSERT_TRUE(core.init());
    ASSERT_TRUE(waitUntil([&] { return core.calls.size() >= 3; }));
    core.calls.clear();
    core.m_syncTimer->setInterval(1);
    core.m_syncTimer->start();
    ASSERT_TRUE(waitUntil([&] { return core.calls.contains("sync"); }));
    core.m_syncTimer->stop();
    core.m_heartbeatTimer->setInterval(1);
    ASSERT_TRUE(waitUntil([&] { return core.calls.contains("heartbeat"); }));
    core.m_playlistTimer->setInterval(1);
    ASSERT_TRUE(waitUntil([&] { return core.calls.contains("playlist"); }));
}

TEST(CoreInit, BusyPortFailsBeforeAnythingElse)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    RecordingCore core({ { "Main/listen", QString("127.0.0.1:%1").arg(occupant.serverPort()) },
        { "Stream/sendTo", "239.1.2.3:50" } });
    LogCapture::instance().clear();

    EXPECT_FALSE(core.init());
    EXPECT_FALSE(core.m_heartbeatTimer);
    EXPECT_FALSE(core.m_socket);
    EXPECT_FALSE(core.m_watcher);
    EXPECT_FALSE(core.m_syncTimer);
    EXPECT_FALSE(core.m_playlistTimer);
    // The stream engine was neither bound nor given a destination.
    EXPECT_EQ(core.m_stream->localPort(), 0);
    EXPECT_EQ(core.m_stream->peerPort(), 0);
    // The server says why; the Core adds nothing.
    EXPECT_TRUE(LogCapture::instance().messages("vesk.core").isEmpty());
    bool bindFailure = false;
    for (const QString& message : LogCapture::instance().messages("vesk.server"))
        bindFailure = bindFailure || message.startsWith("cannot bind socket address: ");
    EXPECT_TRUE(bindFailure);

    // Nothing was queued either.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(core.calls.isEmpty());
}

struct ListenCase
{
    const char* value; // null: key absent
    const char* address;
    quint16 port; // 0: the free port of the test home
};

class ListenConfig : public testing::TestWithParam<ListenCase>
{
};

TEST_P(ListenConfig, FallsBackToEveryAddressAndDefaultPort)
{
    const ListenCase& c = GetParam();
    RecordingCore core({ { "Main/listen", c.value ? QString::fromUtf8(c.value) : QString() } });
    const quint16 port = c.port ? c.port : core.listenPort;
    LogCapture::instance().clear();
    // The fallback port may well be taken on a shared machine; what is asked for is the point.
    core.init();
    const QRegularExpression expected(
        QString("^creating new listener at (%1) with port %2$").arg(c.address).arg(port));
    const QStringList messages = LogCapture::instance().messages("vesk.server");
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const QString& message) {
        return expected.match(message).hasMatch();
    })) << messages.join("\n").toStdString();
}

// Every address: the server may render QHostAddress::Any as "::" or as the IPv4 it listens on.
INSTANTIATE_TEST_SUITE_P(Values, ListenConfig,
    testing::Values(ListenCase { nullptr, "0\\.0\\.0\\.0", 49152 },
        ListenCase { "127.0.0.1", "::|0\\.0\\.0\\.0", 49152 },
        ListenCase { "::1", "::|0\\.0\\.0\\.0", 49152 },
        ListenCase { "127.0.0.1:70000", "::|0\\.0\\.0\\.0", 49152 },
        ListenCase { "localhost:8080", "::|0\\.0\\.0\\.0", 49152 }));

TEST(CoreInitConfig, ListensWhereConfigured)
{
    TestCore core;
    ASSERT_TRUE(core.init());
    // A real request reaches the Core's routes on the configured address and port.
    const vesk::test::RawResponse response
        = vesk::test::httpExchange(core.listenPort, "GET /v1/command/connect HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.raw, "HTTP/1.1 404 Not Found\r\n\r\n");
}

struct SyncRepeatCase
{
    const char* value; // null: key absent
    int intervalMs;
};

class SyncRepeatConfig : public testing::TestWithParam<SyncRepeatCase>
{
};

TEST_P(SyncRepeatConfig, IntervalInSeconds)
{
    const SyncRepeatCase& c = GetParam();
    TestCore core({ { "Main/syncRepeat", c.value ? QString::fromUtf8(c.value) : QString() } });
    ASSERT_TRUE(core.init());
    ASSERT_TRUE(core.m_syncTimer);
    EXPECT_EQ(core.m_syncTimer->interval(), c.intervalMs);
    EXPECT_FALSE(core.m_syncTimer->isActive());
}

INSTANTIATE_TEST_SUITE_P(Values, SyncRepeatConfig,
    testing::Values(SyncRepeatCase { "15", 15000 }, SyncRepeatCase { "1", 1000 },
        SyncRepeatCase { nullptr, 60000 }, SyncRepeatCase { "abc", 60000 },
        SyncRepeatCase { "15s", 60000 }, SyncRepeatCase { "0", 60000 },
        SyncRepeatCase { "-5", 60000 }, SyncRepeatCase { "2147484", 60000 },
        SyncRepeatCase { "2147483", 2147483000 }));

TEST(CoreInitConfig, StreamDestinationDefault)
{
    TestCore core({ { "Stream/sendTo", QString() } });
    LogCapture::instance().clear();
    ASSERT_TRUE(core.init());
    EXPECT_EQ(core.m_stream->peerAddress(), QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(core.m_stream->peerPort(), 8554);
    EXPECT_NE(core.m_stream->localPort(), 0);
}

namespace {

QByteArray igmpGroups()
{
    QFile file("/proc/net/igmp");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(CoreInitConfig, StreamMulticastGroupIsJoined)
{
    if (!vesk::test::inPrivateNetwork())
        return vesk::test::rerunInPrivateNetwork();
    // 239.1.2.3 as /proc/net/igmp writes it.
    const QByteArray group = "030201EF";
    ASSERT_FALSE(igmpGroups().contains(group));
    {
        TestCore core({ { "Stream/sendTo", "239.1.2.3:50" } });
        ASSERT_TRUE(core.init());
        EXPECT_TRUE(igmpGroups().contains(group)) << igmpGroups().toStdString();
        EXPECT_EQ(core.m_stream->peerAddress(), QHostAddress("239.1.2.3"));
        EXPECT_EQ(core.m_stream->peerPort(), 50);
    }
    // The engine leaves the group with its socket.
    EXPECT_FALSE(igmpGroups().contains(group));
    const QByteArray before = igmpGroups();
    TestCore unicast({ { "Stream/sendTo", QString() } });
    ASSERT_TRUE(unicast.init());
    EXPECT_EQ(igmpGroups(), before);
}

TEST(CoreInitConfig, StreamDestinationUnparsable)
{
    TestCore core({ { "Stream/sendTo", "239.1.2.3" } });
    ASSERT_TRUE(core.init());
    EXPECT_EQ(core.m_stream->peerAddress(), QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(core.m_stream->peerPort(), 8554);
}

TEST(CoreInitConfig, StreamDestinationUnicast)
{
    TestCore core({ { "Stream/sendTo", "127.0.0.1:5004" } });
    ASSERT_TRUE(core.init());
    EXPECT_EQ(core.m_stream->peerAddress(), QHostAddress("127.0.0.1"));
    EXPECT_EQ(core.m_stream->peerPort(), 5004);
}

// --- safe_wrap -------------------------------------------------------------------------------

namespace {

class ThrowingCore : public TestCore
{
public:
    using TestCore::TestCore;

    void onHeartbeat() override { throw std::runtime_error("boom"); }
    void onSync() override { throw 42; }
    void onPlaylistChanged() override
    {
        ++playlistCalls;
        throw std::runtime_error("нет файла %1");
    }

    int playlistCalls = 0;
};

} // namespace

TEST(CoreSafeWrap, LogsWhatWasThrownAndCarriesOn)
{
    ThrowingCore core;
    LogCapture::instance().clear();
    EXPECT_NO_THROW(core.safe_wrap<&vesk::Core::onHeartbeat>());
    EXPECT_NO_THROW(core.safe_wrap<&vesk::Core::onSync>());
    EXPECT_NO_THROW(core.safe_wrap<&vesk::Core::onPlaylistChanged>());
    EXPECT_EQ(LogCapture::instance().lines("vesk.core"),
        (QList<LogCapture::Line> { { Level::error, "vesk.core", "unhandled exception: boom" },
            { Level::error, "vesk.core", "unhandled exception: unknown" },
            { Level::error, "vesk.core", "unhandled exception: нет файла %1" } }));
}

TEST(CoreSafeWrap, GuardsTheQueuedCallsOfInit)
{
    ThrowingCore core;
    LogCapture::instance().clear();
    ASSERT_TRUE(core.init());
    ASSERT_TRUE(waitUntil([&] { return core.playlistCalls == 1; }));
    EXPECT_EQ(LogCapture::instance().messages("vesk.core"),
        (QStringList { "unhandled exception: boom", "unhandled exception: unknown",
            "unhandled exception: нет файла %1" }));
}

// --- Lifetime --------------------------------------------------------------------------------

TEST(CoreLifetime, DestructorReleasesWhatInitMade)
{
    QPointer<vesk::HttpServer> server;
    QPointer<QFileSystemWatcher> watcher;
    QPointer<QTimer> syncTimer;
    QPointer<QTimer> heartbeatTimer;
    QPointer<QUdpSocket> socket;
    QPointer<QTimer> playlistTimer;
    QWeakPointer<vesk::Stream> stream;
    quint16 port = 0;
    {
        RecordingCore core;
        ASSERT_TRUE(core.init());
        server = core.m_server;
        watcher = core.m_watcher;
        syncTimer = core.m_syncTimer;
        heartbeatTimer = core.m_heartbeatTimer;
        socket = core.m_socket;
        playlistTimer = core.m_playlistTimer;
        stream = core.m_stream;
        port = core.listenPort;
        ASSERT_TRUE(server && watcher && syncTimer && heartbeatTimer && socket && playlistTimer);
    }
    EXPECT_FALSE(server);
    EXPECT_FALSE(watcher);
    EXPECT_FALSE(syncTimer);
    EXPECT_FALSE(heartbeatTimer);
    EXPECT_FALSE(socket);
    EXPECT_FALSE(playlistTimer);
    EXPECT_FALSE(stream);
    // The port is free again.
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, port));
}

// The optional text file for node-exporter holds the status file's figures in the exposition
// format: HELP and TYPE before the samples of each metric, every sample a name, labels in
// quotes and a whole number.
TEST(CoreStatus, PrometheusFileHoldsTheFiguresInTheExpositionFormat)
{
    QTemporaryDir elsewhere;
    const QString prom = elsewhere.filePath("vesk.prom");
    TestCore core({ { "Status/prometheusFile", prom } });
    ASSERT_TRUE(core.init());
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(prom); }));
    QFile file(prom);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    const QRegularExpression sample(
        R"(^(vesk_[a-z_]+)(\{[a-z]+="(?:[^"\\]|\\.)*"(,[a-z]+="(?:[^"\\]|\\.)*")*\})? -?\d+$)");
    QSet<QString> typed;
    QSet<QString> sampled;
    for (const QString& line : lines) {
        if (line.startsWith("# TYPE ")) {
            typed.insert(line.section(u' ', 2, 2));
        } else if (!line.startsWith("# HELP ")) {
            const QRegularExpressionMatch match = sample.match(line);
            ASSERT_TRUE(match.hasMatch()) << line.toStdString();
            EXPECT_TRUE(typed.contains(match.captured(1))) << line.toStdString();
            sampled.insert(match.captured(1));
        }
    }
    EXPECT_TRUE(lines.contains("vesk_paired 0"));
    EXPECT_TRUE(sampled.contains("vesk_info"));
    EXPECT_TRUE(sampled.contains("vesk_stream_datagrams_total"));
    // The status file is written all the same.
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(core.statusFilePath()); }));
}

// Every time of the status file in one form: milliseconds and a numeric offset, also for UTC,
// which Qt's own ISO form writes as "Z"; every delivery in one form too.
TEST(CoreStatus, TimesCarryMillisecondsAndANumericOffset)
{
    // The times' form is protocol::wireTime's, tested with it.
    // A delivery's name has its 16 digits, leading zeros included.
    EXPECT_EQ(vesk::status::deliveryText(0xEF46DB3751D8E999), "ef46db3751d8e999");
    EXPECT_EQ(vesk::status::deliveryText(0x2A), "000000000000002a");
}
