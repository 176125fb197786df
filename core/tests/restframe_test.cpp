#include "encryptedresponse.h"
#include "httpclient.h"
#include "logcapture.h"
#include "resterror.h"
#include "testcore.h"

#include <vesk/httprequest.h>
#include <vesk/httpresponse.h>
#include <vesk/ssl/crypto.h>

#include <QJsonObject>
#include <QMutex>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

using vesk::HttpRequest;
using vesk::HttpResponse;
using vesk::log::Level;
using vesk::test::httpExchange;
using vesk::test::LogCapture;
using vesk::test::post;
using vesk::test::postJson;
using vesk::test::RawResponse;

namespace {

const QByteArray connectPath = "/v1/command/connect";

// The connect command replaced by whatever a test needs behind the real frame.
class FrameCore : public vesk::test::TestCore
{
public:
    FrameCore()
    {
        if (!init())
            ADD_FAILURE() << "the Core does not listen";
    }

    HttpResponse connect(const HttpRequest&, const QJsonDocument& document) override
    {
        ++calls;
        {
            QMutexLocker lock(&mutex);
            seen = document;
        }
        return handler(document);
    }

    QJsonDocument lastDocument()
    {
        QMutexLocker lock(&mutex);
        return seen;
    }

    RawResponse send(
        const QByteArray& request, const std::function<void(QTcpSocket&)>& more = {}) const
    {
        return httpExchange(listenPort, request, more);
    }

    // The main-thread handlers have their own tests.
    void onHeartbeat() override { }
    void onSync() override { }
    void onPlaylistChanged() override { }

    std::function<HttpResponse(const QJsonDocument&)> handler = [](const QJsonDocument&) {
        return HttpResponse(QJsonDocument(QJsonObject { { "ok", true } }));
    };
    std::atomic<int> calls { 0 };

private:
    QMutex mutex;
    QJsonDocument seen;
};

QByteArray jsonHeaders(const QByteArray& accept, const QByteArray& body)
{
    QList<std::pair<QByteArray, QByteArray>> fields { { "Content-Type", "application/json" } };
    if (!accept.isNull())
        fields.append({ "Accept", accept });
    fields.append({ "Content-Length", QByteArray::number(body.size()) });
    return post(connectPath, fields, body);
}

} // namespace

// --- Refusals before the handler ---------------------------------------------------------------

// Plain data only: the framework copies the table around.
struct RefusalCase
{
    const char* name;
    QByteArray (*request)();
    const char* answer;
};

class FrameRefusal : public testing::TestWithParam<RefusalCase>
{
};

TEST_P(FrameRefusal, BareStatusLineAndNoHandler)
{
    FrameCore core;
    LogCapture::instance().clear();
    const RawResponse response = core.send(GetParam().request());
    EXPECT_EQ(response.raw, QByteArray(GetParam().answer));
    EXPECT_EQ(core.calls, 0);
    EXPECT_TRUE(LogCapture::instance().messages("vesk.core").isEmpty());
}

const QByteArray body = R"({"type":"file-rsync"})";
constexpr const char* answer415 = "HTTP/1.1 415 Unsupported Media Type\r\n\r\n";
constexpr const char* answer406 = "HTTP/1.1 406 Not Acceptable\r\n\r\n";
constexpr const char* answer400 = "HTTP/1.1 400 Bad Request\r\n\r\n";
constexpr const char* answer413 = "HTTP/1.1 413 Payload Too Large\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(Table, FrameRefusal,
    testing::Values(RefusalCase { "CharsetParameter",
                        [] {
                            return post(connectPath,
                                { { "Content-Type", "application/json; charset=utf-8" },
                                    { "Content-Length", QByteArray::number(body.size()) } },
                                body);
                        },
                        answer415 },
        RefusalCase { "UpperCaseType",
            [] {
                return post(connectPath,
                    { { "Content-Type", "Application/JSON" },
                        { "Content-Length", QByteArray::number(body.size()) } },
                    body);
            },
            answer415 },
        RefusalCase { "NoContentType",
            [] {
                return post(
                    connectPath, { { "Content-Length", QByteArray::number(body.size()) } }, body);
            },
            answer415 },
        RefusalCase { "TypeBeforeAccept",
            [] {
                return post(connectPath,
                    { { "Content-Type", "text/plain" }, { "Accept", "text/html" },
                        { "Content-Length", QByteArray::number(body.size()) } },
                    body);
            },
            answer415 },
        RefusalCase { "TypeBeforeLength",
            [] {
                return post(connectPath,
                    { { "Content-Type", "text/plain" }, { "Content-Length", "99999999" } }, body);
            },
            answer415 },
        RefusalCase { "AcceptHtml", [] { return jsonHeaders("text/html", body); }, answer406 },
        RefusalCase {
            "AcceptList", [] { return jsonHeaders("application/json, */*", body); }, answer406 },
        RefusalCase { "AcceptWithQuality", [] { return jsonHeaders("application/json;q=1", body); },
            answer406 },
        RefusalCase { "AcceptBeforeLength",
            [] {
                return post(connectPath,
                    { { "Content-Type", "application/json" }, { "Accept", "text/html" },
                        { "Content-Length", "-1" } },
                    body);
            },
            answer406 },
        RefusalCase {
            "AcceptBeforeJson", [] { return jsonHeaders("text/html", "not json"); }, answer406 },
        RefusalCase { "NoLengthNoBody",
            [] {
                return post(connectPath, { { "Content-Type", "application/json" } }, "");
            },
            answer400 },
        RefusalCase { "UnparsableLength",
            [] {
                return post(connectPath,
                    { { "Content-Type", "application/json" }, { "Content-Length", "2x" } }, "{}");
            },
            answer400 },
        RefusalCase { "NegativeLength",
            [] {
                return post(connectPath,
                    { { "Content-Type", "application/json" }, { "Content-Length", "-5" } }, "{}");
            },
            answer400 },
        RefusalCase { "LengthAboveLimit",
            [] {
                return post(connectPath,
                    { { "Content-Type", "application/json" }, { "Content-Length", "1048577" } },
                    "{}");
            },
            answer413 },
        RefusalCase { "HugeLength",
            [] {
                return post(connectPath,
                    { { "Content-Type", "application/json" },
                        { "Content-Length", "9223372036854775807" } },
                    "{}");
            },
            answer413 },
        RefusalCase { "NotJson", [] { return jsonHeaders({}, "{\"type\":"); }, answer400 },
        RefusalCase {
            "TrailingGarbageInsideLength", [] { return jsonHeaders({}, "{} x"); }, answer400 }),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(Frame, IncompleteBodyIsRefusedAfterOneSecondOfSilence)
{
    FrameCore core;
    const QByteArray request = post(connectPath,
        { { "Content-Type", "application/json" }, { "Content-Length", "100" } }, "{\"type\":");
    const RawResponse response = core.send(request);
    EXPECT_EQ(response.raw, answer400);
    EXPECT_GE(response.elapsedMs, 900);
    EXPECT_EQ(core.calls, 0);
}

TEST(Frame, SlowBodyIsServedWhileDataKeepsComing)
{
    FrameCore core;
    const QByteArray json = R"({"type":"file-rsync","server":"10.0.0.5:5000"})";
    const QByteArray request = post(connectPath,
        { { "Content-Type", "application/json" },
            { "Content-Length", QByteArray::number(json.size()) } },
        json.left(10));
    // Three pieces 600 ms apart: longer than one wait in total, never a second without data.
    const RawResponse response = core.send(request, [&](QTcpSocket& socket) {
        for (const QByteArray& piece : { json.mid(10, 10), json.mid(20, 10), json.mid(30) }) {
            QThread::msleep(600);
            socket.write(piece);
            socket.waitForBytesWritten(5000);
        }
    });
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(core.calls, 1);
    EXPECT_EQ(core.lastDocument(), QJsonDocument::fromJson(json));
}

TEST(Frame, BytesAfterTheLengthAreIgnored)
{
    FrameCore core;
    const QByteArray json = R"({"type":"file-rsync"})";
    const QByteArray request = post(connectPath,
        { { "Content-Type", "application/json" },
            { "Content-Length", QByteArray::number(json.size()) } },
        json + "garbage that is not JSON");
    const RawResponse response = core.send(request);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(core.lastDocument(), QJsonDocument::fromJson(json));
}

TEST(Frame, BodyOfExactlyTheLimitIsRead)
{
    FrameCore core;
    QByteArray json = R"({"pad":")";
    json += QByteArray(1024 * 1024 - json.size() - 2, 'x');
    json += "\"}";
    ASSERT_EQ(json.size(), 1024 * 1024);
    const RawResponse response = core.send(jsonHeaders({}, json));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(core.lastDocument().object().value("pad").toString().size(), 1024 * 1024 - 10);
}

class FrameAccept : public testing::TestWithParam<const char*>
{
};

TEST_P(FrameAccept, Passes)
{
    FrameCore core;
    const QByteArray accept = GetParam();
    const RawResponse response = core.send(jsonHeaders(accept, body));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(core.calls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FrameAccept, testing::Values("application/json", "*/*", "*/json", "application/*", ""));

TEST(Frame, NoAcceptFieldPasses)
{
    FrameCore core;
    const RawResponse response = core.send(postJson(connectPath, body));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, R"({"ok":true})");
}

TEST(Frame, ArrayBodyReachesTheHandler)
{
    FrameCore core;
    core.send(postJson(connectPath, "[1,2]"));
    EXPECT_EQ(core.calls, 1);
    EXPECT_TRUE(core.lastDocument().isArray());
}

// --- Handler failures --------------------------------------------------------------------------

struct FailureCase
{
    const char* name;
    void (*fail)();
    const char* statusLine;
    const char* reason;
    // What the log keeps of the reason; nullptr: the reason as it is.
    const char* logged = nullptr;
};

class FrameFailure : public testing::TestWithParam<FailureCase>
{
};

TEST_P(FrameFailure, JsonReasonAndErrorLine)
{
    FrameCore core;
    core.handler = [fail = GetParam().fail](const QJsonDocument&) -> HttpResponse {
        fail();
        return {};
    };
    LogCapture::instance().clear();
    const RawResponse response = core.send(postJson(connectPath, body));
    const QByteArray json
        = QJsonDocument(QJsonObject { { "reason", QString::fromUtf8(GetParam().reason) } })
              .toJson(QJsonDocument::Compact);
    EXPECT_EQ(response.raw,
        QByteArray(GetParam().statusLine) + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(json.size()) + "\r\n\r\n" + json);
    const char* logged = GetParam().logged ? GetParam().logged : GetParam().reason;
    EXPECT_EQ(LogCapture::instance().lines("vesk.core"),
        (QList<LogCapture::Line> { { Level::error, "vesk.core", QString::fromUtf8(logged) } }));
}

namespace {

// A reason of 5 + 1000 + 5 characters, as the "unknown type" answer echoes a long type.
const std::string longReason = "type " + std::string(1000, 'x') + " long";
const std::string longReasonLogged = "type " + std::string(195, 'x') + "…[cut: 1010 characters]";

} // namespace

INSTANTIATE_TEST_SUITE_P(Table, FrameFailure,
    testing::Values(FailureCase { "RestError400", [] { throw vesk::detail::RestError(400, "x"); },
                        "HTTP/1.1 400 Bad Request", "x" },
        FailureCase { "RestError404", [] { throw vesk::detail::RestError(404, "x"); },
            "HTTP/1.1 404 Bad Request", "x" },
        FailureCase { "RestError500", [] { throw vesk::detail::RestError(500, "ключ"); },
            "HTTP/1.1 500 Internal Server Error", "ключ" },
        FailureCase { "StdException", [] { throw std::runtime_error("x"); },
            "HTTP/1.1 500 Internal Server Error", "x" },
        FailureCase { "MarkerInText", [] { throw std::runtime_error("bad %1 \"q\""); },
            "HTTP/1.1 500 Internal Server Error", "bad %1 \"q\"" },
        // The peer gets its text back; the log gets no line of its making, and 200 characters.
        FailureCase { "ControlCharacters",
            [] { throw vesk::detail::RestError(400, "type \"a\n2027-01-01 INFO x\x1b[2J\""); },
            "HTTP/1.1 400 Bad Request", "type \"a\n2027-01-01 INFO x\x1b[2J\"",
            "type \"a\\n2027-01-01 INFO x\\x1b[2J\"" },
        FailureCase { "LongReason",
            [] { throw vesk::detail::RestError(400, QString::fromStdString(longReason)); },
            "HTTP/1.1 400 Bad Request", longReason.c_str(), longReasonLogged.c_str() }),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Frame, RestError400IsFourteenBytes)
{
    FrameCore core;
    core.handler
        = [](const QJsonDocument&) -> HttpResponse { throw vesk::detail::RestError(400, "x"); };
    const RawResponse response = core.send(postJson(connectPath, body));
    EXPECT_EQ(response.header("Content-Length"), "14");
    EXPECT_EQ(response.body, R"({"reason":"x"})");
}

TEST(Frame, OtherThrownValuesReachTheServer)
{
    FrameCore core;
    core.handler = [](const QJsonDocument&) -> HttpResponse { throw 7; };
    const RawResponse response = core.send(postJson(connectPath, body));
    EXPECT_EQ(response.raw, "HTTP/1.1 500 Internal Server Error\r\n\r\n");
}

// --- The encrypted answer ----------------------------------------------------------------------

TEST(EncryptedResponse, FieldsInOrderAndBodyIsCiphertextAndTag)
{
    const auto [ownPrivate, ownPublic] = vesk::ssl::generateKeyPairEC();
    const auto [peerPrivate, peerPublic] = vesk::ssl::generateKeyPairEC();
    const vesk::ssl::SharedKey key = vesk::ssl::deriveKey(ownPrivate, peerPublic);
    const QByteArray plaintext = R"({"hello":"мир"})";

    const HttpResponse response
        = vesk::detail::encryptedResponse(ownPublic, key.bytes(), plaintext, "application/json");

    FrameCore core;
    core.handler = [&](const QJsonDocument&) { return response; };
    const RawResponse wire = core.send(postJson(connectPath, body));
    EXPECT_EQ(wire.status, 200);
    EXPECT_EQ(wire.statusText, "OK");
    EXPECT_EQ(wire.headerNames(),
        (QList<QByteArray> {
            "Content-Encoding", "X-PK", "X-IV", "Content-Type", "Content-Length" }));
    EXPECT_EQ(wire.header("Content-Encoding"), "x-aes-gcm");
    EXPECT_EQ(wire.header("Content-Type"), "application/json");
    EXPECT_EQ(wire.header("X-PK"), ownPublic.der().toBase64());
    EXPECT_EQ(wire.body.size(), plaintext.size() + vesk::ssl::EncryptedDataGcm::tagLength);
    EXPECT_EQ(wire.header("Content-Length"), QByteArray::number(wire.body.size()));

    // The peer's side: its own private key and our X-PK give the same key.
    const vesk::ssl::SharedKey peerKey = vesk::ssl::deriveKey(
        peerPrivate, vesk::ssl::PublicKey::fromDer(QByteArray::fromBase64(wire.header("X-PK"))));
    const QByteArray tag = wire.body.right(vesk::ssl::EncryptedDataGcm::tagLength);
    const vesk::ssl::EncryptedDataGcm data(
        wire.body.chopped(tag.size()), QByteArray::fromBase64(wire.header("X-IV")), tag);
    EXPECT_EQ(vesk::ssl::decryptWithGcm(peerKey.bytes(), data), plaintext);
}
