#include <vesk/http.h>

#include "support/loopback.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using namespace vesk;
using test::LogCapture;
using test::roundTrip;

namespace {

const QByteArray notFound = "HTTP/1.1 404 Not Found\r\n\r\n";
const QByteArray internalError = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
const QByteArray tooLarge = "HTTP/1.1 431 Request Header Fields Too Large\r\n\r\n";

QByteArray okText(const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

class HttpServerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        LogCapture::instance().clear();
        server = std::make_unique<HttpServer>();
    }

    void listen()
    {
        port = test::freePort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(server->listen(QHostAddress::LocalHost, port));
    }

    // The first group that pattern captures in the first log line it matches (a connection
    // number), or an empty string.
    static QString captured(const QString& pattern)
    {
        const QRegularExpression expression(pattern);
        for (const QString& line : LogCapture::instance().lines()) {
            const QRegularExpressionMatch match = expression.match(line);
            if (match.hasMatch())
                return match.captured(1);
        }
        return {};
    }

    static qsizetype logged(const QString& pattern)
    {
        return LogCapture::instance().lines().filter(QRegularExpression(pattern)).size();
    }

    std::unique_ptr<HttpServer> server;
    quint16 port = 0;
};

TEST_F(HttpServerTest, RoutesByFirstMatchingSearch)
{
    server->addRoute(QRegularExpression("POST /v1/command/connect"),
        [](const HttpRequest& r) { return HttpResponse("command " + r.path(), "text/plain"); });
    server->addRoute(QRegularExpression("POST /v1/stream/connect"),
        [](const HttpRequest&) { return HttpResponse("stream", "text/plain"); });
    server->addRoute(QRegularExpression("^POST /v1/"),
        [](const HttpRequest&) { return HttpResponse("catch-all", "text/plain"); });
    listen();

    // Unanchored: the query string after the path does not stop the match.
    EXPECT_EQ(roundTrip(port, "POST /v1/command/connect?x=1&y=2 HTTP/1.1\r\n\r\n").data,
        okText("command /v1/command/connect?x=1&y=2"));
    // Both the second and the third pattern match; the one added first serves.
    EXPECT_EQ(roundTrip(port, "POST /v1/stream/connect HTTP/1.1\r\n\r\n").data, okText("stream"));
    EXPECT_EQ(roundTrip(port, "POST /v1/other HTTP/1.1\r\n\r\n").data, okText("catch-all"));
    // A search finds the pattern inside a longer key, in front as well.
    EXPECT_EQ(roundTrip(port, "XPOST /v1/stream/connect HTTP/1.1\r\n\r\n").data, okText("stream"));
    EXPECT_EQ(
        logged("^processing handler with route POST /v1/stream/connect for connection \\d+$"), 2);
}

TEST_F(HttpServerTest, UnknownRouteGetsBare404)
{
    server->addRoute(QRegularExpression("POST /v1/command/connect"),
        [](const HttpRequest&) { return HttpResponse("never", "text/plain"); });
    listen();

    const auto reply = roundTrip(port, "GET /v1/command/connect HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, notFound);
    const QString connection
        = captured("^requested path GET /v1/command/connect from connection (\\d+) is not found$");
    EXPECT_FALSE(connection.isEmpty());
    EXPECT_TRUE(LogCapture::instance().waitFor("thread stopped for connection " + connection));
}

TEST_F(HttpServerTest, HandlerSeesHeadAndReadsBody)
{
    server->addRoute(QRegularExpression("^POST /echo"), [](const HttpRequest& r) {
        QIODevice* device = r.device();
        const qint64 length = r.header("Content-Length").toLongLong();
        QByteArray body;
        while (body.size() < length && (device->bytesAvailable() || device->waitForReadyRead(1000)))
            body += device->read(length - body.size());
        return HttpResponse(r.contentType() + "|" + r.host() + "|" + body, "text/plain");
    });
    listen();

    const QByteArray body(100000, 'b');
    const auto reply = roundTrip(port,
        "POST /echo HTTP/1.1\r\nHost: register:49152\r\nContent-Type: application/json\r\n"
        "Content-Length: 100000\r\n\r\n"
            + body);
    EXPECT_EQ(reply.data, okText("application/json|register:49152|" + body));
}

TEST_F(HttpServerTest, ResponseSurvivesUnreadBody)
{
    // The body is never read; closing on top of it must not reset the 404 away.
    listen();
    const auto reply = roundTrip(
        port, "POST /missing HTTP/1.1\r\nContent-Length: 300000\r\n\r\n" + QByteArray(300000, 'u'));
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, notFound);
}

TEST_F(HttpServerTest, HandlerErrorsBecomeAnswers)
{
    server->addRoute(QRegularExpression("^GET /415$"), [](const HttpRequest&) -> HttpResponse {
        throw HttpError(415, "Unsupported Media Type", {}, "plain/text");
    });
    server->addRoute(QRegularExpression("^GET /409$"), [](const HttpRequest&) -> HttpResponse {
        throw HttpError(409, "Conflict", "busy", "text/plain");
    });
    server->addRoute(QRegularExpression("^GET /std$"),
        [](const HttpRequest&) -> HttpResponse { throw std::runtime_error("disk gone"); });
    server->addRoute(
        QRegularExpression("^GET /int$"), [](const HttpRequest&) -> HttpResponse { throw 7; });
    listen();

    EXPECT_EQ(roundTrip(port, "GET /415 HTTP/1.1\r\n\r\n").data,
        "HTTP/1.1 415 Unsupported Media Type\r\n\r\n");
    EXPECT_EQ(roundTrip(port, "GET /409 HTTP/1.1\r\n\r\n").data,
        "HTTP/1.1 409 Conflict\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nbusy");
    EXPECT_EQ(roundTrip(port, "GET /std HTTP/1.1\r\n\r\n").data, internalError);
    EXPECT_EQ(roundTrip(port, "GET /int HTTP/1.1\r\n\r\n").data, internalError);

    EXPECT_EQ(logged("^HttpError happened while processing connection \\d+$"), 2);
    EXPECT_EQ(logged("^std::exception happened while processing connection \\d+: disk gone$"), 1);
    EXPECT_EQ(logged("^unhandled exception happened while processing connection \\d+$"), 1);
}

TEST_F(HttpServerTest, LogsTheLifeOfAConnection)
{
    server->addRoute(QRegularExpression("^GET /hello$"),
        [](const HttpRequest&) { return HttpResponse("hi", "text/plain"); });
    listen();
    const QString portText = QString::number(port);
    EXPECT_EQ(roundTrip(port, "GET /hello HTTP/1.1\r\n\r\n").data, okText("hi"));

    const QString connection = captured("^thread started for connection (\\d+)$");
    ASSERT_FALSE(connection.isEmpty());
    ASSERT_TRUE(LogCapture::instance().waitFor("thread stopped for connection " + connection));
    EXPECT_EQ(LogCapture::instance().lines(),
        QStringList({ "stopping listener",
            "creating new listener at 127.0.0.1 with port " + portText, "listening...",
            "starting thread for accepted connection " + connection + " from 127.0.0.1 ...",
            "thread started for connection " + connection,
            "processing handler with route ^GET /hello$ for connection " + connection,
            "thread stopped for connection " + connection }));
}

TEST_F(HttpServerTest, CurlGetsTheAnswer)
{
    server->addRoute(QRegularExpression("^GET /hello"), [](const HttpRequest& r) {
        return HttpResponse(QJsonDocument(QJsonObject { { "path", QString::fromUtf8(r.path()) } }));
    });
    listen();
    QByteArray output;
    test::runOffThread([&] {
        QProcess curl;
        curl.start("curl",
            { "-sS", "--max-time", "5",
                QStringLiteral("http://127.0.0.1:%1/hello?a=1").arg(port) });
        curl.waitForFinished(10000);
        output = curl.readAllStandardOutput() + curl.readAllStandardError();
    });
    EXPECT_EQ(output, "{\"path\":\"/hello?a=1\"}");
}

TEST_F(HttpServerTest, SilentClientIsClosedWithoutAnswer)
{
    listen();
    const auto reply = roundTrip(port, {}, 5s);
    EXPECT_TRUE(reply.connected);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, "");
    EXPECT_GE(reply.elapsed, 900ms);
    EXPECT_EQ(logged("^data from connection \\d+ is not a http request$"), 1);
}

TEST_F(HttpServerTest, OversizedHeadsGet431)
{
    server->addRoute(QRegularExpression("^GET /"),
        [](const HttpRequest&) { return HttpResponse("ok", "text/plain"); });
    listen();

    QByteArray hundred = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 100; ++i)
        hundred += "X-" + QByteArray::number(i) + ": v\r\n";
    EXPECT_EQ(roundTrip(port, hundred + "\r\n").data, okText("ok"));
    EXPECT_EQ(roundTrip(port, hundred + "X-100: v\r\n\r\n").data, tooLarge);

    // Well over 64 KiB in fewer than 100 lines, sent all at once.
    QByteArray wide = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 90; ++i)
        wide += "X-" + QByteArray::number(i) + ": " + QByteArray(1000, 'w') + "\r\n";
    const auto reply = roundTrip(port, wide + "\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, tooLarge);
    EXPECT_EQ(logged("^request head from connection \\d+ is too large$"), 2);
}

TEST_F(HttpServerTest, TricklingHeadIsDroppedAtTheDeadline)
{
    server->addRoute(QRegularExpression("^GET /"),
        [](const HttpRequest&) { return HttpResponse("ok", "text/plain"); });
    listen();

    // One header line every 400 ms: no single wait runs out, only the ten-second deadline.
    test::Reply reply;
    const bool finished = test::runOffThread(
        [&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(5000))
                return;
            reply.connected = true;
            QElapsedTimer clock;
            clock.start();
            socket.write("GET / HTTP/1.1\r\n");
            for (int i = 0;
                 socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 15000;
                 ++i) {
                socket.write("X-" + QByteArray::number(i) + ": v\r\n");
                socket.waitForBytesWritten(1000);
                // Paces the trickle and notices the close at once.
                socket.waitForReadyRead(400);
                reply.data += socket.readAll();
            }
            reply.closed = socket.state() != QAbstractSocket::ConnectedState;
            reply.elapsed = std::chrono::milliseconds(clock.elapsed());
        },
        20s);
    ASSERT_TRUE(finished);
    ASSERT_TRUE(reply.connected);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, "");
    EXPECT_GE(reply.elapsed, 9500ms);
    EXPECT_LT(reply.elapsed, 14000ms);
    EXPECT_EQ(logged("^data from connection \\d+ is not a http request$"), 1);
}

TEST_F(HttpServerTest, SilentPeersDoNotStarveTheApi)
{
    server->addRoute(QRegularExpression("^POST /v1/command/connect$"),
        [](const HttpRequest&) { return HttpResponse("paired", "text/plain"); });
    listen();

    std::vector<test::Reply> silent(8);
    test::Reply answered;
    ASSERT_TRUE(test::runOffThread([&] {
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        for (int i = 0; i < 8; ++i) {
            peers.push_back(std::make_unique<QTcpSocket>());
            peers.back()->connectToHost(QHostAddress::LocalHost, port);
            if (!peers.back()->waitForConnected(5000))
                return;
            silent[i].connected = true;
        }
        answered = test::exchange(port, "POST /v1/command/connect HTTP/1.1\r\n\r\n", 5s);
        for (int i = 0; i < 8; ++i) {
            while (peers[i]->state() == QAbstractSocket::ConnectedState
                && peers[i]->waitForReadyRead(3000))
                silent[i].data += peers[i]->readAll();
            silent[i].closed = peers[i]->state() != QAbstractSocket::ConnectedState;
        }
    }));
    EXPECT_EQ(answered.data, okText("paired"));
    EXPECT_LT(answered.elapsed, 1500ms);
    for (const auto& peer : silent) {
        EXPECT_TRUE(peer.connected);
        EXPECT_TRUE(peer.closed);
        EXPECT_EQ(peer.data, "");
    }
}

TEST_F(HttpServerTest, BusyPortFailsAndLeavesNoNotifier)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    EXPECT_FALSE(server->listen(QHostAddress::LocalHost, occupant.serverPort()));
    EXPECT_TRUE(LogCapture::instance().contains(
        "cannot bind socket address: " + QString::fromLocal8Bit(std::strerror(EADDRINUSE))));
    EXPECT_TRUE(server->findChildren<QSocketNotifier*>().isEmpty());

    // Still usable afterwards.
    listen();
    EXPECT_EQ(roundTrip(port, "GET / HTTP/1.1\r\n\r\n").data, notFound);
}

TEST_F(HttpServerTest, ListenAgainMovesTheListener)
{
    listen();
    const quint16 oldPort = port;
    listen();
    ASSERT_NE(port, oldPort);
    EXPECT_EQ(server->findChildren<QSocketNotifier*>().size(), 1);
    EXPECT_FALSE(roundTrip(oldPort, "GET / HTTP/1.1\r\n\r\n", 2s).connected);
    EXPECT_EQ(roundTrip(port, "GET / HTTP/1.1\r\n\r\n").data, notFound);

    server->close();
    EXPECT_TRUE(server->findChildren<QSocketNotifier*>().isEmpty());
    EXPECT_FALSE(roundTrip(port, "GET / HTTP/1.1\r\n\r\n", 2s).connected);
}

TEST_F(HttpServerTest, RestartsOnThePortItJustServed)
{
    server->addRoute(QRegularExpression("^GET /"),
        [](const HttpRequest&) { return HttpResponse("ok", "text/plain"); });
    listen();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(roundTrip(port, "GET / HTTP/1.1\r\n\r\n").data, okText("ok"));

    // The server closed those connections first, so they wait in TIME_WAIT on this port.
    server.reset();
    HttpServer restarted;
    restarted.addRoute(QRegularExpression("^GET /"),
        [](const HttpRequest&) { return HttpResponse("again", "text/plain"); });
    ASSERT_TRUE(restarted.listen(QHostAddress::LocalHost, port));
    EXPECT_EQ(roundTrip(port, "GET / HTTP/1.1\r\n\r\n").data, okText("again"));
}

TEST_F(HttpServerTest, CloseWithoutListeningOnlyLogs)
{
    server->close();
    EXPECT_EQ(LogCapture::instance().lines(), QStringList { "stopping listener" });
}

TEST_F(HttpServerTest, DestructionWaitsForRunningHandlers)
{
    std::atomic<bool> finished = false;
    server->addRoute(QRegularExpression("^GET /slow$"), [&finished](const HttpRequest&) {
        std::this_thread::sleep_for(300ms);
        finished = true;
        return HttpResponse("done", "text/plain");
    });
    listen();
    test::Reply reply;
    std::unique_ptr<QThread> client(
        QThread::create([&] { reply = test::exchange(port, "GET /slow HTTP/1.1\r\n\r\n", 5s); }));
    client->start();
    ASSERT_TRUE(LogCapture::instance().waitFor(
        QRegularExpression("^processing handler with route \\^GET /slow\\$ for connection \\d+$")));
    server.reset();
    EXPECT_TRUE(finished);
    client->wait();
    EXPECT_EQ(reply.data, okText("done"));
}

} // namespace
