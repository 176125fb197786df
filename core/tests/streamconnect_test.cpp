#include "httpclient.h"
#include "logcapture.h"
#include "peer.h"
#include "testcore.h"

#include <vesk/stream.h>
#include <vesk/streamanchor.h>

#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <array>

using vesk::log::Level;
using vesk::test::httpExchange;
using vesk::test::LogCapture;
using vesk::test::Peer;
using vesk::test::postJson;
using vesk::test::RawResponse;
using vesk::test::TestCore;

namespace {

const QByteArray streamPath = "/v1/stream/connect";

class StreamCore : public TestCore
{
public:
    explicit StreamCore(QMap<QString, QString> config = {})
        : TestCore(std::move(config))
    {
        if (!init())
            ADD_FAILURE() << "the Core does not listen";
    }
    void onHeartbeat() override { }
    void onSync() override { }
    void onPlaylistChanged() override { }

    RawResponse ask(const QByteArray& publicKey) const
    {
        const QJsonObject body { { "pk", QString::fromLatin1(publicKey) } };
        return httpExchange(
            listenPort, postJson(streamPath, QJsonDocument(body).toJson(QJsonDocument::Compact)));
    }

    QByteArray streamKey() const
    {
        std::array<unsigned char, 32> key {};
        m_stream->getKey(key);
        return QByteArray(reinterpret_cast<const char*>(key.data()), key.size());
    }
};

QJsonObject decrypt(const Peer& peer, const RawResponse& response)
{
    const Peer::Decrypted answer = peer.decrypt(response);
    EXPECT_TRUE(answer.ok) << answer.error.toStdString();
    EXPECT_FALSE(answer.plaintext.contains('\n'));
    return QJsonDocument::fromJson(answer.plaintext).object();
}

} // namespace

TEST(StreamConnect, AnswerCarriesTheStream)
{
    if (!vesk::test::inPrivateNetwork())
        return vesk::test::rerunInPrivateNetwork();
    StreamCore core({ { "Stream/sendTo", "239.1.1.1:8554" } });
    const Peer display;
    const RawResponse response = core.ask(display.publicKey());
    ASSERT_EQ(response.status, 200) << response.raw.toStdString();
    EXPECT_EQ(response.header("Content-Encoding"), "x-aes-gcm");

    const QJsonObject answer = decrypt(display, response);
    // "next" comes in the last minute of a chain, "key" from the first interval's key on.
    QStringList members = answer.keys();
    members.removeAll("key");
    EXPECT_EQ(members,
        (QStringList {
            "anchor", "clock", "datetime", "listen", "master", "protocol", "signer", "stream" }));
    EXPECT_EQ(answer.value("protocol"), 3);
    // The stream clock as the engine reads it, taken while the answer was made.
    const qint64 after = core.m_stream->streamTime().count();
    ASSERT_TRUE(answer.value("clock").isDouble());
    EXPECT_LE(answer.value("clock").toInteger(), after);
    EXPECT_GE(answer.value("clock").toInteger(), 0);
    EXPECT_EQ(answer.value("listen").toString(), "239.1.1.1:8554");
    ASSERT_TRUE(answer.value("stream").isDouble());
    EXPECT_EQ(qint64(answer.value("stream").toDouble()), qint64(core.m_stream->streamId()));
    const QByteArray master = QByteArray::fromBase64(
        answer.value("master").toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    EXPECT_EQ(master.size(), 32);
    EXPECT_EQ(master, core.streamKey());
    const auto signer = core.m_stream->signerKey();
    EXPECT_EQ(QByteArray::fromBase64(answer.value("signer").toString().toLatin1()),
        QByteArray(reinterpret_cast<const char*>(signer.data()), signer.size()));
    // The anchor a display checks once: this stream's chain, signed by "signer".
    const QByteArray anchor = QByteArray::fromBase64(answer.value("anchor").toString().toLatin1());
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(anchor.constData()), std::size_t(anchor.size()));
    const auto read = vesk::StreamAnchor::read(bytes);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->streamId, core.m_stream->streamId());
    EXPECT_TRUE(vesk::StreamAnchor::signedBy(bytes, vesk::ssl::VerifyingKey::fromRaw(signer)));
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$)")
                    .match(answer.value("datetime").toString())
                    .hasMatch());
}

TEST(StreamConnect, EachDisplayGetsItsOwnKeyAndTheSameStream)
{
    StreamCore core;
    const Peer first;
    const Peer second;
    const RawResponse a = core.ask(first.publicKey());
    const RawResponse b = core.ask(second.publicKey());
    ASSERT_EQ(a.status, 200);
    ASSERT_EQ(b.status, 200);
    EXPECT_NE(a.header("X-PK"), b.header("X-PK"));

    const QJsonObject answerA = decrypt(first, a);
    const QJsonObject answerB = decrypt(second, b);
    EXPECT_EQ(answerA.value("master"), answerB.value("master"));
    EXPECT_EQ(answerA.value("stream"), answerB.value("stream"));
    EXPECT_EQ(answerA.value("listen"), answerB.value("listen"));
    // Neither display can read the other's answer.
    EXPECT_FALSE(first.decrypt(b).ok);
    EXPECT_FALSE(second.decrypt(a).ok);
}

TEST(StreamConnect, SameDisplayTwiceGetsFreshKeys)
{
    StreamCore core;
    const Peer display;
    const RawResponse a = core.ask(display.publicKey());
    const RawResponse b = core.ask(display.publicKey());
    ASSERT_EQ(a.status, 200);
    ASSERT_EQ(b.status, 200);
    EXPECT_NE(a.header("X-PK"), b.header("X-PK"));
    EXPECT_NE(a.body, b.body);
    EXPECT_EQ(decrypt(display, a).value("master"), decrypt(display, b).value("master"));
}

TEST(StreamConnect, MissingKeyIsAnInternalError)
{
    StreamCore core;
    LogCapture::instance().clear();
    const RawResponse response = httpExchange(core.listenPort, postJson(streamPath, "{}"));
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.statusText, "Internal Server Error");
    const QString reason
        = QJsonDocument::fromJson(response.body).object().value("reason").toString();
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_EQ(LogCapture::instance().lines("vesk.core"),
        (QList<LogCapture::Line> { { Level::error, "vesk.core", reason } }));
}
