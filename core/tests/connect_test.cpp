#include "httpclient.h"
#include "logcapture.h"
#include "peer.h"
#include "testcore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUuid>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;
using vesk::test::httpExchange;
using vesk::test::Peer;
using vesk::test::postJson;
using vesk::test::RawResponse;
using vesk::test::TestCore;

namespace {

const QByteArray connectPath = "/v1/command/connect";
const QString token = "{6f9619ff-8b86-d011-b42d-00c04fc964ff}";
const QString clientKey
    = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 "
      "management@server";

// What authorized_keys holds for `key`: the key behind the forced command beside the program
// (for the tests, the build's vesk-sshgate).
QByteArray keyLine(const QString& key)
{
    return "restrict,command=\"" + QCoreApplication::applicationDirPath().toUtf8()
        + "/vesk-sshgate\" " + key.toUtf8() + "\n";
}

// One Python peer for the whole file: key generation costs a process start.
const Peer& peer()
{
    static const Peer instance;
    return instance;
}

QJsonObject validBody()
{
    return {
        { "type", "file-rsync" },
        { "keyToken", token },
        { "serverKey", QString::fromLatin1(peer().publicKey()) },
        { "clientKey", clientKey },
        { "server", "10.0.0.5:5000" },
    };
}

class ConnectCore : public TestCore
{
public:
    explicit ConnectCore(QMap<QString, QString> config = {})
        : TestCore(std::move(config))
    {
        if (!init())
            ADD_FAILURE() << "the Core does not listen";
    }
    // The main-thread handlers are another matter; here they only count.
    void onHeartbeat() override { }
    void onSync() override { ++syncs; }
    void onPlaylistChanged() override { }

    RawResponse send(
        const QJsonDocument& document, const QHostAddress& from = QHostAddress::LocalHost) const
    {
        return httpExchange(
            listenPort, postJson(connectPath, document.toJson(QJsonDocument::Compact)), {}, from);
    }
    RawResponse send(const QJsonObject& object) const { return send(QJsonDocument(object)); }

    QByteArray read(const QString& path) const
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    int syncs = 0;
};

unsigned mode(const QString& path)
{
    struct stat st
    {
    };
    if (::lstat(path.toUtf8().constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

template <typename Condition> bool waitUntil(Condition condition)
{
    QDeadlineTimer deadline(std::chrono::seconds(5));
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace

// --- Validation ------------------------------------------------------------------------------

// Plain data only: the framework copies the table around. `changes` is a JSON object laid over
// the valid body (null removes a member), or a JSON array sent instead of the object.
struct RefusalCase
{
    const char* name;
    const char* changes;
    const char* reason;
};

class ConnectRefusal : public testing::TestWithParam<RefusalCase>
{
};

namespace {

QJsonDocument changed(const char* changes)
{
    const QJsonDocument patch = QJsonDocument::fromJson(changes);
    if (patch.isArray())
        return patch;
    QJsonObject body = validBody();
    const QJsonObject object = patch.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.value().isNull())
            body.remove(it.key());
        else
            body.insert(it.key(), it.value());
    }
    return QJsonDocument(body);
}

} // namespace

TEST_P(ConnectRefusal, ReasonAndNothingWritten)
{
    ConnectCore core;
    const RawResponse response = core.send(changed(GetParam().changes));
    EXPECT_EQ(response.status, 400);
    EXPECT_EQ(response.statusText, "Bad Request");
    EXPECT_EQ(response.body,
        QJsonDocument(QJsonObject { { "reason", QString::fromUtf8(GetParam().reason) } })
            .toJson(QJsonDocument::Compact));
    EXPECT_TRUE(entries(core.homeDir).isEmpty()) << entries(core.homeDir).join(", ").toStdString();
}

// A port padded with zeros, a long part after the port and a valid key with a long comment:
// sizes the peer chooses.
const std::string longPortChanges
    = R"({"server":"10.0.0.5:)" + std::string(100000, '0') + R"(5000"})";
const std::string longExtraChanges
    = R"({"server":"10.0.0.5:5000:)" + std::string(100000, 'x') + R"("})";
const std::string longKeyChanges
    = R"({"clientKey":"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 )"
    + std::string(17000, 'x') + R"("})";

INSTANTIATE_TEST_SUITE_P(Table, ConnectRefusal,
    testing::Values(RefusalCase { "TypeCase", R"({"type":"FILE-RSYNC"})",
                        "unknown type \"FILE-RSYNC\" for command \"connect\"" },
        RefusalCase {
            "TypeMissing", R"({"type":null})", "unknown type \"\" for command \"connect\"" },
        RefusalCase { "TypeNumber", R"({"type":1})", "unknown type \"\" for command \"connect\"" },
        RefusalCase { "ArrayBody", R"([{"type":"file-rsync"}])",
            "unknown type \"\" for command \"connect\"" },
        RefusalCase { "TypeFirst", R"({"type":"scp","keyToken":null,"server":null})",
            "unknown type \"scp\" for command \"connect\"" },
        RefusalCase {
            "TokenMissing", R"({"keyToken":null,"serverKey":null})", "keyToken must not be empty" },
        RefusalCase { "TokenNumber", R"({"keyToken":12345})", "keyToken must not be empty" },
        RefusalCase { "TokenGarbage", R"({"keyToken":"not-a-uuid"})", "cannot parse keyToken" },
        RefusalCase { "TokenNil", R"({"keyToken":"00000000-0000-0000-0000-000000000000"})",
            "cannot parse keyToken" },
        RefusalCase { "TokenBeforeServerKey", R"({"keyToken":"zzz","serverKey":null})",
            "cannot parse keyToken" },
        RefusalCase { "ServerKeyMissing", R"({"serverKey":null,"clientKey":null})",
            "serverKey must not be empty" },
        RefusalCase { "ClientKeyMissing", R"({"clientKey":null,"server":null})",
            "clientKey must not be empty" },
        RefusalCase { "ClientKeyEmpty", R"({"clientKey":""})", "clientKey must not be empty" },
        RefusalCase {
            "ServerMissing", R"({"server":null,"serverKey":"AAAA"})", "server must not be empty" },
        RefusalCase {
            "ServerNoPort", R"({"server":"10.0.0.5"})", "cannot parse server address and port" },
        RefusalCase { "ServerPortTooLarge", R"({"server":"10.0.0.5:70000"})",
            "cannot parse server address and port" },
        RefusalCase { "ServerHostName", R"({"server":"mgmt.example:5000"})",
            "cannot parse server address and port" },
        RefusalCase {
            "ServerIpv6", R"({"server":"[::1]:5000"})", "cannot parse server address and port" },
        RefusalCase { "ServerBeforeServerKey",
            R"({"server":"10.0.0.5","serverKey":"bm90IGEga2V5"})",
            "cannot parse server address and port" },
        RefusalCase { "ServerLineFeed", R"({"server":"10.0.0.5:5000\n10.0.0.6:1"})",
            "cannot parse server address and port" },
        RefusalCase {
            "ServerLongPort", longPortChanges.c_str(), "cannot parse server address and port" },
        RefusalCase { "ServerLongExtraPart", longExtraChanges.c_str(),
            "cannot parse server address and port" },
        RefusalCase { "ClientKeyTooLong", longKeyChanges.c_str(), "clientKey is too long" },
        RefusalCase { "ServerTrailingCr", R"({"server":"10.0.0.5:5000:x\r"})",
            "cannot parse server address and port" },
        RefusalCase { "ClientKeyTwoLines",
            R"({"clientKey":"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 a\ncommand=\"sh\" ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 b"})",
            "cannot parse clientKey" },
        RefusalCase { "ClientKeyOptions",
            R"({"clientKey":"command=\"sh\" ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2"})",
            "cannot parse clientKey" },
        RefusalCase { "ClientKeyTab",
            R"({"clientKey":"ssh-ed25519\tAAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2"})",
            "cannot parse clientKey" },
        RefusalCase { "ClientKeyUnknownType",
            R"({"clientKey":"ssh-dss AAAAB3NzaC1kc3MAAAAAAAAAAA=="})", "cannot parse clientKey" },
        RefusalCase { "ClientKeyBadBase64", R"({"clientKey":"ssh-ed25519 AAAA*C3NzaC1lZDI1NTE5"})",
            "cannot parse clientKey" },
        RefusalCase { "ClientKeyTypeMismatch",
            R"({"clientKey":"ssh-rsa AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 x"})",
            "cannot parse clientKey" },
        RefusalCase {
            "ClientKeyTypeOnly", R"({"clientKey":"ssh-ed25519"})", "cannot parse clientKey" },
        RefusalCase { "ClientKeyTwoLineEnds",
            R"({"clientKey":"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 a\n\n"})",
            "cannot parse clientKey" },
        RefusalCase { "ClientKeyCarriageReturnOnly",
            R"({"clientKey":"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 a\r"})",
            "cannot parse clientKey" },
        RefusalCase { "ClientKeyLineEndOnly", R"({"clientKey":"\n"})", "cannot parse clientKey" },
        RefusalCase { "ServerBeforeClientKey", R"({"server":"10.0.0.5","clientKey":"x"})",
            "cannot parse server address and port" },
        RefusalCase { "ClientKeyBeforeServerKey", R"({"clientKey":"x","serverKey":"bm90IGEga2V5"})",
            "cannot parse clientKey" },
        RefusalCase {
            "ServerKeyGarbage", R"({"serverKey":"bm90IGEga2V5"})", "cannot parse serverKey" },
        RefusalCase { "ServerKeyNotBase64", R"({"serverKey":"!!!"})", "cannot parse serverKey" }),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// --- Pairing ---------------------------------------------------------------------------------

TEST(Connect, PairsAndAnswersEncrypted)
{
    ASSERT_FALSE(peer().publicKey().isEmpty());
    ConnectCore core;
    const RawResponse response = core.send(validBody());
    ASSERT_EQ(response.status, 200) << response.raw.toStdString();
    EXPECT_EQ(response.header("Content-Encoding"), "x-aes-gcm");
    EXPECT_EQ(response.header("Content-Type"), "application/json");

    const Peer::Decrypted answer = peer().decrypt(response);
    ASSERT_TRUE(answer.ok) << answer.error.toStdString();
    const QJsonObject object = QJsonDocument::fromJson(answer.plaintext).object();
    EXPECT_EQ(object.keys(), (QStringList { "catalog", "datetime" }));
    EXPECT_EQ(object.value("catalog").toString(), core.syncPath());
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$)")
                    .match(object.value("datetime").toString())
                    .hasMatch())
        << object.value("datetime").toString().toStdString();
    // Compact: what the management server parses is one line.
    EXPECT_FALSE(answer.plaintext.contains('\n'));
    EXPECT_FALSE(answer.plaintext.contains(' '));

    // The four pairing files, byte for byte, with their modes.
    EXPECT_EQ(core.read(core.authorizedKeysPath()), keyLine(clientKey));
    EXPECT_EQ(mode(core.authorizedKeysPath()), 0600u);
    EXPECT_EQ(core.read(core.accessTokenPath()), QUuid::fromString(token).toRfc4122());
    EXPECT_EQ(core.read(core.accessTokenPath()).size(), 16);
    EXPECT_EQ(mode(core.accessTokenPath()), 0644u);
    EXPECT_EQ(core.read(core.serverAddressPath()), "10.0.0.5:5000");
    EXPECT_EQ(mode(core.serverAddressPath()), 0644u);
    // The key the peer derived on its side is the one the heartbeat will use.
    EXPECT_EQ(core.read(core.sharedKeyPath()), answer.key);
    EXPECT_EQ(answer.key.size(), 32);
    EXPECT_EQ(mode(core.sharedKeyPath()), 0600u);

    EXPECT_EQ(mode(core.sshPath()), 0700u);
    EXPECT_EQ(mode(core.syncPath()), 0755u);
    EXPECT_EQ(mode(core.workPathA()), 0755u);
    EXPECT_EQ(mode(core.workPathB()), 0755u);
    EXPECT_EQ(fs::read_symlink(core.workPathClean().toStdString()), "work_dir_a");
    // Nothing of the staging is left. The status file may come a moment after the answer (the
    // main thread writes it), whenever the pairing took that long.
    QStringList layout = entries(core.homeDir);
    layout.removeAll("status.json");
    EXPECT_EQ(layout,
        (QStringList { ".ssh", "address", "shared.key", "sync_dir", "token", "work_dir",
            "work_dir_a", "work_dir_b" }));
}

TEST(Connect, TokenWithoutBracesAndServerWithExtraPart)
{
    ConnectCore core;
    QJsonObject body = validBody();
    body.insert("keyToken", "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    body.insert("server", "10.0.0.5:5000:x");
    // Another key type, and no comment.
    const QString ecdsaKey
        = "ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBMkBVgWuHdcbGi+"
          "7wPYIi1JULCpY/KAFPxu9mbLyeLCowZIviG8dJ34EqeopzYzpIxENJ+4ZVIaMj2bJAeV3jAM=";
    body.insert("clientKey", ecdsaKey);
    const RawResponse response = core.send(body);
    ASSERT_EQ(response.status, 200);
    EXPECT_EQ(core.read(core.accessTokenPath()), QUuid::fromString(token).toRfc4122());
    EXPECT_EQ(core.read(core.serverAddressPath()), "10.0.0.5:5000:x");
    EXPECT_EQ(core.read(core.authorizedKeysPath()), keyLine(ecdsaKey));
}

// A management server sends its public key file as it reads it; the key is kept byte for byte.
TEST(Connect, KeyFileAsReadPairs)
{
    ConnectCore core;
    for (const char* end : { "", "\n", "\r\n" }) {
        QJsonObject body = validBody();
        body.insert("clientKey", clientKey + end);
        const RawResponse response = core.send(body);
        EXPECT_EQ(response.status, 200) << response.raw.toStdString();
        EXPECT_EQ(core.read(core.authorizedKeysPath()), keyLine(clientKey));
    }
}

TEST(Connect, SecondPairingKeepsTheLinkAndReplacesTheFiles)
{
    ConnectCore core;
    ASSERT_EQ(core.send(validBody()).status, 200);
    const QByteArray firstKey = core.read(core.sharedKeyPath());
    // Content was delivered meanwhile: the link names B.
    fs::remove(core.workPathClean().toStdString());
    fs::create_symlink("work_dir_b", core.workPathClean().toStdString());
    QFile played(core.workPathB() + "/playlist.ini");
    ASSERT_TRUE(played.open(QIODevice::WriteOnly));
    played.write("[playlist]\n");
    played.close();

    const Peer other;
    QJsonObject body = validBody();
    body.insert("keyToken", "0f0e0d0c-0b0a-0908-0706-050403020100");
    body.insert("serverKey", QString::fromLatin1(other.publicKey()));
    const QString otherKey
        = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAwxxOlnb/cGzD6xN4L1l6UJB/2WQMeAqh97/vngg4II other";
    body.insert("clientKey", otherKey);
    body.insert("server", "10.0.0.6:6000");
    const RawResponse response = core.send(body);
    ASSERT_EQ(response.status, 200);

    EXPECT_EQ(fs::read_symlink(core.workPathClean().toStdString()), "work_dir_b");
    EXPECT_TRUE(QFile::exists(core.workPathB() + "/playlist.ini"));
    EXPECT_EQ(core.read(core.authorizedKeysPath()), keyLine(otherKey));
    EXPECT_EQ(core.read(core.accessTokenPath()),
        QUuid::fromString(QStringLiteral("0f0e0d0c-0b0a-0908-0706-050403020100")).toRfc4122());
    EXPECT_EQ(core.read(core.serverAddressPath()), "10.0.0.6:6000");
    const Peer::Decrypted answer = other.decrypt(response);
    ASSERT_TRUE(answer.ok) << answer.error.toStdString();
    EXPECT_EQ(core.read(core.sharedKeyPath()), answer.key);
    EXPECT_NE(answer.key, firstKey);
    EXPECT_EQ(mode(core.sharedKeyPath()), 0600u);
}

TEST(Connect, AnswerCannotBeReadWithAnotherKey)
{
    ConnectCore core;
    const RawResponse response = core.send(validBody());
    ASSERT_EQ(response.status, 200);
    const Peer stranger;
    EXPECT_FALSE(stranger.decrypt(response).ok);
}

TEST(Connect, FailureAfterValidationIsAnsweredWithTheReason)
{
    ConnectCore core;
    // A file where the SSH directory belongs: the directory cannot be made.
    QFile blocker(core.sshPath());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const RawResponse response = core.send(validBody());
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.statusText, "Internal Server Error");
    const QString reason
        = QJsonDocument::fromJson(response.body).object().value("reason").toString();
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_FALSE(QFile::exists(core.accessTokenPath()));
}

// A register paired after start-up takes deliveries: the sync directory the command created is
// watched, and what is already there is looked at once.
TEST(Connect, NewSyncDirectoryIsWatched)
{
    ConnectCore core;
    ASSERT_TRUE(waitUntil([&] { return core.syncs == 1; }));
    ASSERT_FALSE(QFile::exists(core.syncPath()));
    EXPECT_TRUE(core.m_watcher->directories().isEmpty());

    ASSERT_EQ(core.send(validBody()).status, 200);
    ASSERT_TRUE(waitUntil([&] { return core.syncs == 2; }));
    EXPECT_EQ(core.m_watcher->directories(), QStringList { core.syncPath() });

    // The delivery's transaction file appears (written beside, then renamed in, as a copying
    // tool does): the watcher reports it.
    QFile tf(core.homeDir + "/TF.part");
    ASSERT_TRUE(tf.open(QIODevice::WriteOnly));
    tf.write("ef46db3751d8e999  empty\n");
    tf.close();
    ASSERT_TRUE(tf.rename(core.transactionFilePath(core.syncPath())));
    EXPECT_TRUE(waitUntil([&] { return core.syncs == 3; }));
    EXPECT_EQ(core.m_watcher->files(), QStringList { core.transactionFilePath(core.syncPath()) });

    // A second pairing adds nothing twice.
    ASSERT_EQ(core.send(validBody()).status, 200);
    ASSERT_TRUE(waitUntil([&] { return core.syncs == 4; }));
    EXPECT_EQ(core.m_watcher->directories(), QStringList { core.syncPath() });
    EXPECT_EQ(core.m_watcher->files(), QStringList { core.transactionFilePath(core.syncPath()) });
}

// --- Pairing lock ----------------------------------------------------------------------------

// Plain data only: the framework copies the table around. A null connectFrom leaves the key out.
struct LockCase
{
    const char* name;
    const char* connectFrom;
    const char* from;
    bool paired;
};

class PairingLock : public testing::TestWithParam<LockCase>
{
};

TEST_P(PairingLock, RefusesEveryPeerOutsideTheList)
{
    const LockCase& c = GetParam();
    ConnectCore core(
        { { "Main/connectFrom", c.connectFrom ? QString(c.connectFrom) : QString() } });
    const RawResponse response = core.send(QJsonDocument(validBody()), QHostAddress(c.from));
    if (c.paired) {
        EXPECT_EQ(response.status, 200) << response.raw.toStdString();
        EXPECT_EQ(core.read(core.serverAddressPath()), "10.0.0.5:5000");
    } else {
        EXPECT_EQ(response.raw, "HTTP/1.1 403 Forbidden\r\n\r\n");
        EXPECT_TRUE(entries(core.homeDir).isEmpty());
    }
    // The lock is the pairing's alone: a display's request gets as far as its own check.
    const RawResponse stream = httpExchange(
        core.listenPort, postJson("/v1/stream/connect", R"({"pk":"x"})"), {}, QHostAddress(c.from));
    EXPECT_EQ(stream.status, 500);
}

INSTANTIATE_TEST_SUITE_P(Table, PairingLock,
    testing::Values(LockCase { "Unset", nullptr, "127.0.0.2", true },
        LockCase { "Blank", " ", "127.0.0.2", true },
        LockCase { "AddressListed", "10.0.0.5, 127.0.0.2", "127.0.0.2", true },
        LockCase { "InRange", "10.0.0.0/8 127.0.0.0/30", "127.0.0.2", true },
        LockCase { "NotListed", "127.0.0.1", "127.0.0.2", false },
        LockCase { "OutOfRange", "127.0.0.0/31", "127.0.0.2", false },
        // A list that says nothing usable locks everyone out rather than no one.
        LockCase { "Unparsable", "management.example", "127.0.0.1", false }),
    [](const testing::TestParamInfo<LockCase>& info) { return info.param.name; });
