#include "httpclient.h"
#include "loopback.h"

#include <vesk/ssl/crypto.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// The real program, copied into a directory of its own with its config.ini, run in a private
// mount namespace whose /var/lib/morlen-vesk is a temporary directory: the host's home is never
// touched.
class Program
{
public:
    explicit Program(const QMap<QString, QString>& config)
    {
        QDir().mkpath(binDir());
        QDir().mkpath(home());
        QFile::copy(VESK_SERVICE_BINARY, binDir() + "/vesk-service");
        QSettings settings(binDir() + "/config.ini", QSettings::IniFormat);
        settings.setValue("Logger/path", logPath());
        for (auto it = config.cbegin(); it != config.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }

    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    void start()
    {
        // Over the home itself when the host has one, else over all of /var/lib.
        const QString script = QStringLiteral(
            "if [ -d /var/lib/morlen-vesk ]; then mount --bind \"$1/morlen-vesk\" "
            "/var/lib/morlen-vesk; else mount --bind \"$1\" /var/lib; fi && exec \"$2\"");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_LIBRARY_PATH", VESK_BINARY_DIR);
        m_process.setProcessEnvironment(environment);
        m_process.start("unshare",
            { "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh", varLib(),
                binDir() + "/vesk-service" });
        m_process.waitForStarted(10000);
    }

    QProcess& process() { return m_process; }
    QString home() const { return varLib() + "/morlen-vesk"; }
    QString logPath() const { return m_dir.filePath("log/vesk.log"); }
    QByteArray log() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QString binDir() const { return m_dir.filePath("bin"); }
    QString varLib() const { return m_dir.filePath("varlib"); }

    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

// A port that is taken ends the program with status 1; standard error says so once and where
// the reason is: in the log file, right above when the log goes to standard error, nowhere when
// the level keeps it out of the log.
TEST(Program, BusyPortEndsWithStatusOne)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    const QString listen = QString("127.0.0.1:%1").arg(occupant.serverPort());
    QTemporaryDir scratch;
    const QString blocker = scratch.filePath("blocker");
    QFile(blocker).open(QIODevice::WriteOnly);
    const struct
    {
        const char* where;
        QString level;
        // Logger/path; empty for the program's own file.
        QString path;
    } table[] = {
        { "log file", "warning", {} },
        { "log on standard error", "warning", blocker + "/log/vesk.log" },
        { "level off", "off", {} },
    };
    for (const auto& row : table) {
        QMap<QString, QString> config { { "Main/listen", listen }, { "Logger/level", row.level } };
        if (!row.path.isEmpty())
            config.insert("Logger/path", row.path);
        Program program(config);
        program.start();
        ASSERT_TRUE(program.process().waitForFinished(60000)) << row.where;
        const QByteArray err = program.process().readAllStandardError();
        EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit) << row.where;
        EXPECT_EQ(program.process().exitCode(), 1) << row.where << "\n" << err.toStdString();

        const QByteArray where = row.level == "off" ? ""
            : row.path.isEmpty() ? "; the reason is in " + program.logPath().toUtf8()
                                 : "; the reason is above";
        const QByteArray said = ": cannot listen on " + listen.toUtf8() + where + "\n";
        EXPECT_EQ(err.count(": cannot listen on "), 1) << row.where << "\n" << err.toStdString();
        EXPECT_TRUE(err.contains(said)) << row.where << "\n" << err.toStdString();
        const QByteArray log = row.path.isEmpty() ? program.log() : err;
        EXPECT_EQ(
            log.contains(" ERROR vesk.server - cannot bind socket address: "), row.level != "off")
            << row.where << "\n"
            << log.toStdString();
        if (row.level == "warning") {
            EXPECT_TRUE(log.contains(" ERROR default - cannot initialize Vesk service\n"))
                << row.where << "\n"
                << log.toStdString();
            // "warning" lets no info line through.
            EXPECT_FALSE(log.contains("  INFO ")) << row.where;
        }
        EXPECT_TRUE(QDir(program.home()).isEmpty()) << row.where;
    }
}

TEST(Program, ServesAndPairsInItsHome)
{
    const quint16 port = vesk::test::freePort();
    // A lock that admits everyone, and an entry that is no address: both said at the start.
    Program program({ { "Main/listen", QString("127.0.0.1:%1").arg(port) },
        { "Stream/sendTo", "127.0.0.1:5004" }, { "Logger/level", "info" },
        { "Main/connectFrom", "127.0.0.0/0, nonsense" } });
    program.start();

    // Wait until the program listens.
    QDeadlineTimer deadline(std::chrono::seconds(60));
    bool listening = false;
    while (!listening && !deadline.hasExpired() && program.process().state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        listening = probe.waitForConnected(1000);
        if (!listening)
            QThread::msleep(50);
    }
    ASSERT_TRUE(listening) << program.process().readAllStandardError().toStdString();

    const auto [ownPrivate, ownPublic] = vesk::ssl::generateKeyPairEC();
    const QJsonObject pairing {
        { "type", "file-rsync" },
        { "keyToken", "6f9619ff-8b86-d011-b42d-00c04fc964ff" },
        { "serverKey", QString::fromLatin1(ownPublic.der().toBase64()) },
        { "clientKey",
            "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAwxxOlnb/cGzD6xN4L1l6UJB/2WQMeAqh97/vngg4II "
            "test" },
        { "server", "127.0.0.1:9" },
    };
    const vesk::test::RawResponse answer = vesk::test::httpExchange(port,
        vesk::test::postJson(
            "/v1/command/connect", QJsonDocument(pairing).toJson(QJsonDocument::Compact)));
    ASSERT_EQ(answer.status, 200) << answer.raw.toStdString();

    const vesk::ssl::SharedKey key = vesk::ssl::deriveKey(
        ownPrivate, vesk::ssl::PublicKey::fromDer(QByteArray::fromBase64(answer.header("X-PK"))));
    const QByteArray& body = answer.body;
    const QByteArray plaintext = vesk::ssl::decryptWithGcm(key.bytes(),
        vesk::ssl::EncryptedDataGcm(
            body.chopped(16), QByteArray::fromBase64(answer.header("X-IV")), body.right(16)));
    // The program names the fixed home; inside its namespace that is our directory.
    EXPECT_EQ(QJsonDocument::fromJson(plaintext).object().value("catalog").toString(),
        "/var/lib/morlen-vesk/sync_dir");

    QFile shared(program.home() + "/shared.key");
    ASSERT_TRUE(shared.open(QIODevice::ReadOnly));
    EXPECT_EQ(shared.readAll(), key.getKey());
    struct stat st
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(program.home() + "/shared.key").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(QFileInfo(program.home() + "/work_dir").isSymLink());
    EXPECT_TRUE(QFileInfo(program.home() + "/sync_dir").isDir());

    EXPECT_TRUE(program.log().contains("  INFO vesk.server - listening..."));
    for (const QString warning : { "Main/connectFrom \"127.0.0.0/0\" admits every address",
             "Main/connectFrom \"nonsense\" is not an address or a range; left out" })
        EXPECT_TRUE(QRegularExpression("  WARN default - vesk-service \\S+: warning: "
            + QRegularExpression::escape(warning) + "\n")
                        .match(QString::fromUtf8(program.log()))
                        .hasMatch())
            << program.log().toStdString();
}
