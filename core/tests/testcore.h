#pragma once
// Test support of libvesk_core, not API.

#include "loopback.h"

#include <vesk/core.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vesk::test {

// Writes `bytes` to `path`, creating missing parent directories; false when any step fails.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// Multicast joins send membership reports. A test that joins a group runs again in a network
// namespace of its own, where only a multicast-capable loopback exists, so that nothing leaves
// the machine:
//
//   if (!vesk::test::inPrivateNetwork())
//       return vesk::test::rerunInPrivateNetwork();
//   ... the test itself ...
inline bool inPrivateNetwork()
{
    return !qEnvironmentVariableIsEmpty("VESK_TEST_PRIVATE_NETWORK");
}

inline void rerunInPrivateNetwork()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VESK_TEST_PRIVATE_NETWORK", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("unshare",
        { "--net", "sh", "-c",
            "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo "
            "&& exec \"$0\" \"$1\"",
            QCoreApplication::applicationFilePath(),
            QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name()) });
    ASSERT_TRUE(child.waitForFinished(120000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// The home and configuration of a TestCore; a base of it so that both exist before the Core.
struct TestHome
{
    explicit TestHome(QMap<QString, QString> config)
    {
        listenPort = freePort();
        configPath = dir.filePath("config.ini");
        if (!config.contains("Main/listen"))
            config.insert("Main/listen", QString("127.0.0.1:%1").arg(listenPort));
        if (!config.contains("Stream/sendTo"))
            config.insert("Stream/sendTo", QString("127.0.0.1:%1").arg(freePort()));
        QSettings settings(configPath, QSettings::IniFormat);
        for (auto it = config.cbegin(); it != config.cend(); ++it) {
            if (!it.value().isNull())
                settings.setValue(it.key(), it.value());
        }
        settings.sync();
        homeDir = dir.filePath("home");
        QDir().mkpath(homeDir);
    }

    QTemporaryDir dir;
    QString homeDir;
    QString configPath;
    quint16 listenPort = 0;
};

// A Core whose home is "home" inside a temporary directory and whose configuration is a
// "config.ini" there. By default it listens on a free port of 127.0.0.1 and streams to another
// one; pass keys such as "Main/listen" to change that, or a null QString to leave a key out.
// Members and the guarded handlers are reachable for tests.
class TestCore : public TestHome, public Core
{
public:
    explicit TestCore(QMap<QString, QString> config = {})
        : TestHome(std::move(config))
        , Core(homeDir, configPath)
    {
    }

    // "http://127.0.0.1:<port>" of the REST API.
    QString baseUrl() const { return QString("http://127.0.0.1:%1").arg(listenPort); }

    // Beside the home, as in a runtime directory: the home holds the layout alone, and a test run
    // by systemd never writes the status of the host's service.
    QString statusFilePath() const override { return dir.filePath("status.json"); }
    QString playsPath() const override { return dir.filePath("plays"); }

    using Core::m_heartbeatTimer;
    using Core::m_home;
    using Core::m_logger;
    using Core::m_playlistTimer;
    using Core::m_server;
    using Core::m_socket;
    using Core::m_status;
    using Core::m_stream;
    using Core::m_syncTimer;
    using Core::m_watcher;
    using Core::rest;
    using Core::safe_wrap;
    using Core::settlePairing;
    using Core::watchSyncDirectory;
};

} // namespace vesk::test
