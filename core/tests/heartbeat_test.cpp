#include "logcapture.h"
#include "testcore.h"

#include <vesk/log/level.h>

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QUuid>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <memory>
#include <optional>

using vesk::log::Level;
using vesk::test::LogCapture;
using vesk::test::TestCore;
using vesk::test::writeFile;

namespace {

const QString sending = QStringLiteral("Отправка состояния кассы");
const QString done = QStringLiteral("  готово");

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes) {
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    }
    return bytes;
}

// AES-256-GCM decryption done here with OpenSSL itself, so the datagram layout is checked against
// the cipher and not against our own utility library.
std::optional<QByteArray> decryptGcm(
    const QByteArray& key, const QByteArray& iv, const QByteArray& ciphertext, QByteArray tag)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
        EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const auto* k = reinterpret_cast<const unsigned char*>(key.constData());
    const auto* i = reinterpret_cast<const unsigned char*>(iv.constData());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, int(iv.size()), nullptr) != 1
        || EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, k, i) != 1) {
        return std::nullopt;
    }
    QByteArray plain(ciphertext.size() + 16, Qt::Uninitialized);
    int length = 0;
    int final = 0;
    if (EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &length,
            reinterpret_cast<const unsigned char*>(ciphertext.constData()), int(ciphertext.size()))
            != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int(tag.size()), tag.data()) != 1
        || EVP_DecryptFinal_ex(
               ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + length, &final)
            != 1) {
        return std::nullopt;
    }
    plain.truncate(length + final);
    return plain;
}

// A paired home (address, token, shared key) and a management server on loopback that listens
// for the datagrams. The Core gets a socket as init() would make it, without the rest of init().
class Heartbeat : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.bind(QHostAddress::LocalHost, 0));
        m_core.m_socket = new QUdpSocket();
        ASSERT_TRUE(m_core.m_socket->bind(quint16(0)));
        m_token = QUuid::createUuid().toRfc4122();
        m_key = randomBytes(32);
        ASSERT_TRUE(writeFile(m_core.serverAddressPath(), address(m_server)));
        ASSERT_TRUE(writeFile(m_core.accessTokenPath(), m_token));
        ASSERT_TRUE(writeFile(m_core.sharedKeyPath(), m_key));
        LogCapture::instance().clear();
    }

    static QByteArray address(const QUdpSocket& socket)
    {
        return "127.0.0.1:" + QByteArray::number(socket.localPort());
    }

    QStringList messages() const { return LogCapture::instance().messages("vesk.core"); }

    // Loopback delivers while the sender is still in writeDatagram, so what was sent is there to
    // read as soon as onHeartbeat returns.
    static std::optional<QByteArray> take(QUdpSocket& socket)
    {
        if (!socket.hasPendingDatagrams()) {
            return std::nullopt;
        }
        QByteArray datagram(socket.pendingDatagramSize(), Qt::Uninitialized);
        socket.readDatagram(datagram.data(), datagram.size());
        return datagram;
    }

    TestCore m_core;
    QUdpSocket m_server;
    QByteArray m_token;
    QByteArray m_key;
};

TEST_F(Heartbeat, DatagramIsTokenIvCiphertextTag)
{
    m_core.onHeartbeat();
    EXPECT_EQ(messages(), QStringList({ sending, done }));
    const std::optional<QByteArray> datagram = take(m_server);
    ASSERT_TRUE(datagram);
    ASSERT_GT(datagram->size(), 16 + 12 + 16);
    EXPECT_EQ(datagram->left(16), m_token);

    const QByteArray iv = datagram->mid(16, 12);
    const QByteArray ciphertext = datagram->mid(28, datagram->size() - 28 - 16);
    const QByteArray tag = datagram->right(16);
    const std::optional<QByteArray> plain = decryptGcm(m_key, iv, ciphertext, tag);
    ASSERT_TRUE(plain) << "does not decrypt with the stored shared key";

    // Compact JSON with exactly one member: local time with milliseconds and its offset.
    EXPECT_FALSE(plain->contains(' '));
    EXPECT_FALSE(plain->contains('\n'));
    const QJsonObject state = QJsonDocument::fromJson(*plain).object();
    ASSERT_EQ(state.keys(), QStringList({ "datetime" }));
    const QString datetime = state.value("datetime").toString();
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)")
                    .match(datetime)
                    .hasMatch())
        << datetime.toStdString();
    const QDateTime sent = QDateTime::fromString(datetime, Qt::ISODateWithMs);
    ASSERT_TRUE(sent.isValid());
    EXPECT_LT(std::abs(sent.msecsTo(QDateTime::currentDateTime())), 60000);

    // A flipped bit anywhere is noticed by the tag.
    QByteArray damaged = ciphertext;
    damaged[0] = static_cast<char>(damaged[0] ^ 1);
    EXPECT_FALSE(decryptGcm(m_key, iv, damaged, tag));
}

TEST_F(Heartbeat, EveryBeatHasItsOwnIv)
{
    m_core.onHeartbeat();
    m_core.onHeartbeat();
    const auto first = take(m_server);
    const auto second = take(m_server);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->mid(16, 12), second->mid(16, 12));
}

TEST_F(Heartbeat, NewAddressTakesEffectAtTheNextBeat)
{
    m_core.onHeartbeat();
    ASSERT_TRUE(take(m_server));

    QUdpSocket other;
    ASSERT_TRUE(other.bind(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(writeFile(m_core.serverAddressPath(), address(other)));
    m_core.onHeartbeat();
    EXPECT_FALSE(take(m_server));
    const auto datagram = take(other);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->left(16), m_token);
}

struct SkipCase
{
    const char* name;
    // Spoils one input of the paired home.
    std::function<void(TestCore&)> spoil;
    QString message;
};

class HeartbeatSkips : public Heartbeat, public testing::WithParamInterface<SkipCase>
{
};

TEST_P(HeartbeatSkips, LogsWhyAndSendsNothing)
{
    GetParam().spoil(m_core);
    m_core.onHeartbeat();
    EXPECT_EQ(messages(), QStringList({ sending, GetParam().message }));
    EXPECT_FALSE(take(m_server));
}

const QString noAddress = QStringLiteral("  адрес не настроен - пропуск");
const QString noToken = QStringLiteral("  токен не настроен - пропуск");
const QString noKey = QStringLiteral("  общий ключ не сгенерирован - пропуск");

INSTANTIATE_TEST_SUITE_P(Inputs, HeartbeatSkips,
    testing::Values(SkipCase { "NoSocket", [](TestCore& core) { delete core.m_socket.data(); },
                        QStringLiteral(" сокет не настроен - пропуск") },
        SkipCase { "NoAddressFile", [](TestCore& core) { QFile::remove(core.serverAddressPath()); },
            noAddress },
        SkipCase { "AddressWithoutPort",
            [](TestCore& core) { writeFile(core.serverAddressPath(), "127.0.0.1"); }, noAddress },
        SkipCase { "HostName",
            [](TestCore& core) { writeFile(core.serverAddressPath(), "localhost:5000"); },
            noAddress },
        // The pairing files are read from the home, never through a link planted there.
        SkipCase { "AddressIsALink",
            [](TestCore& core) {
                const QString target = core.serverAddressPath() + ".elsewhere";
                QFile::rename(core.serverAddressPath(), target);
                QFile::link(target, core.serverAddressPath());
            },
            noAddress },
        SkipCase {
            "NoTokenFile", [](TestCore& core) { QFile::remove(core.accessTokenPath()); }, noToken },
        SkipCase { "Token17Bytes",
            [](TestCore& core) {
                writeFile(core.accessTokenPath(), QUuid::createUuid().toRfc4122() + "x");
            },
            noToken },
        SkipCase { "ZeroToken",
            [](TestCore& core) { writeFile(core.accessTokenPath(), QByteArray(16, '\0')); },
            noToken },
        SkipCase {
            "NoKeyFile", [](TestCore& core) { QFile::remove(core.sharedKeyPath()); }, noKey },
        SkipCase { "Key31Bytes",
            [](TestCore& core) { writeFile(core.sharedKeyPath(), randomBytes(31)); }, noKey },
        SkipCase { "Key33Bytes",
            [](TestCore& core) { writeFile(core.sharedKeyPath(), randomBytes(33)); }, noKey }),
    [](const testing::TestParamInfo<SkipCase>& info) { return info.param.name; });

TEST(HeartbeatInit, FirstBeatGoesOutWhenTheEventLoopRuns)
{
    QUdpSocket server;
    ASSERT_TRUE(server.bind(QHostAddress::LocalHost, 0));
    TestCore core;
    const QByteArray token = QUuid::createUuid().toRfc4122();
    ASSERT_TRUE(
        writeFile(core.serverAddressPath(), "127.0.0.1:" + QByteArray::number(server.localPort())));
    ASSERT_TRUE(writeFile(core.accessTokenPath(), token));
    ASSERT_TRUE(writeFile(core.sharedKeyPath(), randomBytes(32)));
    QSignalSpy arrived(&server, &QUdpSocket::readyRead);
    ASSERT_TRUE(core.init());
    ASSERT_TRUE(arrived.wait(10000));
    QByteArray datagram(server.pendingDatagramSize(), Qt::Uninitialized);
    server.readDatagram(datagram.data(), datagram.size());
    EXPECT_EQ(datagram.left(16), token);
}

} // namespace
