#include <vesk/http.h>

#include "logcapture.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace vesk;
using test::LogCapture;
using test::roundTrip;

namespace {

// What the server logged: the messages of its logger, in order.
QStringList serverLines()
{
    return LogCapture::instance().messages("vesk.server");
}

// Turns the event loop until the server logged a message that matches.
bool waitForServerLine(const QRegularExpression& pattern)
{
    return LogCapture::instance().waitFor("vesk.server", pattern);
}

} // namespace

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

    void useLimits(const HttpLimits& limits) { server = std::make_unique<HttpServer>(limits); }

    // A server with these limits that answers "GET /hello" with "hi".
    void listenWithHello(const HttpLimits& limits)
    {
        useLimits(limits);
        server->addRoute(QRegularExpression("^GET /hello$"),
            [](const HttpRequest&) { return HttpResponse("hi", "text/plain"); });
        listen();
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
        for (const QString& line : serverLines()) {
            const QRegularExpressionMatch match = expression.match(line);
            if (match.hasMatch())
                return match.captured(1);
        }
        return {};
    }

    static qsizetype logged(const QString& pattern)
    {
        return serverLines().filter(QRegularExpression(pattern)).size();
    }

    static QByteArray hello() { return "GET /hello HTTP/1.1\r\n\r\n"; }

    // Three connections, two from one address, and waits far longer than any test.
    static HttpLimits threeSlots()
    {
        HttpLimits limits;
        limits.maxConnections = 3;
        limits.maxConnectionsPerPeer = 2;
        limits.readWait = 20s;
        limits.deadline = 30s;
        return limits;
    }

    // Polls until `count` log lines match; the server needs no event loop of this thread.
    static bool waitForLogged(
        const QString& pattern, qsizetype count, std::chrono::seconds timeout = 10s)
    {
        const QDeadlineTimer deadline(timeout);
        while (logged(pattern) < count) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(5);
        }
        return true;
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

    // Unanchored: the query string after the path does not stop the match. Asked from this very
    // thread, which is blocked meanwhile: the server accepts on a thread of its own.
    EXPECT_EQ(test::exchange(port, "POST /v1/command/connect?x=1&y=2 HTTP/1.1\r\n\r\n").data,
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
    // Answered without a worker: a head that needs no handler costs no thread hand-off.
    EXPECT_EQ(logged("^thread started for connection " + connection + "$"), 0);

    // With a body behind the head, a worker answers, and drains the body so that the close
    // does not reset the answer away.
    const auto withBody = roundTrip(
        port, "POST /missing HTTP/1.1\r\nContent-Length: 300000\r\n\r\n" + QByteArray(300000, 'u'));
    EXPECT_TRUE(withBody.closed);
    EXPECT_EQ(withBody.data, notFound);
    EXPECT_EQ(logged("^thread started for connection \\d+$"), 1);
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
    ASSERT_TRUE(waitForServerLine(QRegularExpression(
        "^" + QRegularExpression::escape("thread stopped for connection " + connection) + "$")));
    EXPECT_EQ(serverLines(),
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
    // A line longer than a line may be is never read as two: its tail would pass for a field.
    const QByteArray hidden = "X-Pad: " + QByteArray(1016, 'p') + "Content-Type: text/evil";
    EXPECT_EQ(roundTrip(port, "GET / HTTP/1.1\r\n" + hidden + "\r\n\r\n").data, tooLarge);
    EXPECT_EQ(
        roundTrip(port, "GET /" + QByteArray(1100, 'a') + " HTTP/1.1\r\n\r\n").data, tooLarge);
    EXPECT_EQ(logged("^request head from connection \\d+ is too large$"), 4);
}

// Plain data only: the framework copies the table around.
struct TrickleCase
{
    const char* name;
    const char* opening;
    const char* piece;
};

class TricklingPeer : public HttpServerTest, public testing::WithParamInterface<TrickleCase>
{
};

// A peer that sends a byte now and then never runs out a single wait, only the deadline of the
// whole request, head or body alike; it is dropped without an answer.
TEST_P(TricklingPeer, IsDroppedAtTheDeadline)
{
    HttpLimits limits;
    limits.readWait = 1000ms;
    limits.deadline = 2000ms;
    useLimits(limits);
    server->addRoute(QRegularExpression("^POST /"), [](const HttpRequest& r) {
        const qint64 length = r.header("content-length").toLongLong();
        while (r.device()->bytesAvailable() < length) {
            if (!r.device()->waitForReadyRead(int(r.limits().readWait.count())))
                throw HttpError(400, "Bad Request");
        }
        return HttpResponse("ok", "text/plain");
    });
    listen();

    test::Reply reply;
    ASSERT_TRUE(test::runOffThread([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return;
        reply.connected = true;
        QElapsedTimer clock;
        clock.start();
        socket.write(GetParam().opening);
        while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 8000) {
            socket.write(GetParam().piece);
            socket.waitForBytesWritten(1000);
            // Paces the trickle and notices the close at once.
            socket.waitForReadyRead(300);
            reply.data += socket.readAll();
        }
        reply.closed = socket.state() != QAbstractSocket::ConnectedState;
    }));
    ASSERT_TRUE(reply.connected);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.data, "");
    EXPECT_TRUE(
        waitForLogged("^connection \\d+ missed the deadline of its request and is dropped$", 1));
}

INSTANTIATE_TEST_SUITE_P(HttpServer, TricklingPeer,
    testing::Values(TrickleCase { "Head", "POST / HTTP/1.1\r\n", "X: v\r\n" },
        TrickleCase { "Body", "POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n", "b" }),
    [](const testing::TestParamInfo<TrickleCase>& info) { return std::string(info.param.name); });

TEST_F(HttpServerTest, SilentPeersDoNotStarveTheApi)
{
    // Silent peers are held for a while, so that an answer that waited for them to go would
    // come only after they had been dropped.
    HttpLimits limits;
    limits.readWait = 5s;
    useLimits(limits);
    server->addRoute(QRegularExpression("^POST /v1/command/connect$"),
        [](const HttpRequest&) { return HttpResponse("paired", "text/plain"); });
    listen();

    std::vector<test::Reply> silent(8);
    std::vector<bool> openWhenAnswered(8, false);
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
        // From another address: eight are as many as one address may hold.
        answered = test::exchange(
            port, "POST /v1/command/connect HTTP/1.1\r\n\r\n", 5s, QHostAddress("127.0.0.2"));
        // Answered while the silent peers still held their connections, not once they had been
        // dropped.
        for (int i = 0; i < 8; ++i) {
            char byte = 0;
            const ssize_t peeked
                = ::recv(int(peers[i]->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            openWhenAnswered[i] = peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        for (int i = 0; i < 8; ++i) {
            while (peers[i]->state() == QAbstractSocket::ConnectedState
                && peers[i]->waitForReadyRead(8000))
                silent[i].data += peers[i]->readAll();
            silent[i].closed = peers[i]->state() != QAbstractSocket::ConnectedState;
        }
    }));
    EXPECT_EQ(answered.data, okText("paired"));
    EXPECT_EQ(std::count(openWhenAnswered.cbegin(), openWhenAnswered.cend(), true), 8);
    for (const auto& peer : silent) {
        EXPECT_TRUE(peer.connected);
        EXPECT_TRUE(peer.closed);
        EXPECT_EQ(peer.data, "");
    }
}

// Connections over a limit are answered at once and never wait for a worker (when all slots are
// taken by requests in service); a slot is free again as soon as its connection is closed.
TEST_F(HttpServerTest, ConnectionsOverTheLimitsGet503AtOnce)
{
    const HttpLimits limits = threeSlots();
    listenWithHello(limits);
    const QByteArray hello = HttpServerTest::hello();
    const QByteArray busy = "HTTP/1.1 503 Service Unavailable\r\n\r\n";
    const auto address = [](const char* text) { return QHostAddress(QString::fromLatin1(text)); };

    // Silent peers hold their slots for as long as the server waits for their heads.
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    const auto holdSlot = [&](const char* from) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->bind(address(from));
        silent.back()->connectToHost(QHostAddress::LocalHost, port);
        return silent.back()->waitForConnected(5000);
    };
    const QString started = "^starting thread for accepted connection \\d+ from .*$";
    ASSERT_TRUE(holdSlot("127.0.0.1"));
    ASSERT_TRUE(holdSlot("127.0.0.1"));
    ASSERT_TRUE(waitForLogged(started, 2));

    EXPECT_EQ(test::exchange(port, hello, 5s, address("127.0.0.1")).data, busy);
    EXPECT_EQ(test::exchange(port, hello, 5s, address("127.0.0.2")).data, okText("hi"));
    EXPECT_EQ(logged("^connection from 127\\.0\\.0\\.1 refused: 2 connections from that address "
                     "are open$"),
        1);

    // The peers give up; their slots are free again at once, long before the server's waits end.
    silent.clear();
    ASSERT_TRUE(waitForLogged("^data from connection \\d+ is not a http request$", 2));
    EXPECT_EQ(test::exchange(port, hello, 5s, address("127.0.0.1")).data, okText("hi"));
}

// When every slot is taken, a newcomer takes the slot of the connection whose head has been
// incomplete the longest, which gets a 503; a request in service is never evicted, so with every
// slot held by one, the newcomer gets the 503.
TEST_F(HttpServerTest, NewcomerEvictsTheOldestIncompleteHead)
{
    const HttpLimits limits = threeSlots();
    useLimits(limits);
    std::atomic<bool> released = false;
    server->addRoute(QRegularExpression("^GET /hello$"),
        [](const HttpRequest&) { return HttpResponse("hi", "text/plain"); });
    server->addRoute(QRegularExpression("^GET /hold$"), [&released](const HttpRequest&) {
        while (!released)
            std::this_thread::sleep_for(5ms);
        return HttpResponse("held", "text/plain");
    });
    listen();
    const QByteArray busy = "HTTP/1.1 503 Service Unavailable\r\n\r\n";
    const auto address = [](const char* text) { return QHostAddress(QString::fromLatin1(text)); };
    const QString started = "^starting thread for accepted connection \\d+ from .*$";

    // Heads that trickle in, in this order.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    const auto startSlowly = [&](const char* from) {
        slow.push_back(std::make_unique<QTcpSocket>());
        slow.back()->bind(address(from));
        slow.back()->connectToHost(QHostAddress::LocalHost, port);
        slow.back()->write("GET /hello HTTP/1.1\r\nX: ");
        return slow.back()->waitForBytesWritten(5000)
            && waitForLogged(started, qsizetype(slow.size()));
    };
    const auto answerTo = [](QTcpSocket& socket) {
        QByteArray data;
        while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(2000))
            data += socket.readAll();
        return data + socket.readAll();
    };
    for (const char* from : { "127.0.0.1", "127.0.0.2", "127.0.0.1" })
        ASSERT_TRUE(startSlowly(from));
    // Over its address's share: refused, nothing evicted.
    EXPECT_EQ(test::exchange(port, hello(), 5s, address("127.0.0.1")).data, busy);
    // Over the total: the oldest slow heads go, the newcomers are served, a slow one too.
    ASSERT_TRUE(startSlowly("127.0.0.3"));
    EXPECT_EQ(test::exchange(port, hello(), 5s, address("127.0.0.4")).data, okText("hi"));
    slow[3]->write("v\r\n\r\n");
    EXPECT_EQ(answerTo(*slow[3]), okText("hi"));
    EXPECT_EQ(answerTo(*slow[0]), busy);
    EXPECT_EQ(answerTo(*slow[1]), busy);
    EXPECT_EQ(slow[2]->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(logged("^connection \\d+ from 127\\.0\\.0\\.[12] evicted: its head was the oldest "
                     "incomplete one when all 3 connections were taken$"),
        2);
    slow.clear();

    // Requests in service hold every slot: nothing is evicted.
    std::vector<test::Reply> held(3);
    std::vector<std::unique_ptr<QThread>> holders;
    const QString holding = "^processing handler with route \\^GET /hold\\$ for connection \\d+$";
    for (std::size_t i = 0; i < held.size(); ++i) {
        holders.emplace_back(QThread::create([&, i] {
            held[i] = test::exchange(port, "GET /hold HTTP/1.1\r\n\r\n", 10s,
                address(i == 0 ? "127.0.0.5" : "127.0.0.6"));
        }));
        holders.back()->start();
        ASSERT_TRUE(waitForLogged(holding, qsizetype(i + 1)));
    }
    EXPECT_EQ(test::exchange(port, hello(), 5s, address("127.0.0.7")).data, busy);
    EXPECT_EQ(logged("^connection from 127\\.0\\.0\\.7 refused: 3 connections are open$"), 1);
    released = true;
    for (std::size_t i = 0; i < held.size(); ++i) {
        holders[i]->wait();
        EXPECT_EQ(held[i].data, okText("held"));
    }
}

// Out of descriptors, accept would fail again at once for as long as the peers wait: the server
// stops accepting for a moment instead, logs the failure once with a count, and serves the
// waiting peers when descriptors are free again.
TEST_F(HttpServerTest, OutOfDescriptorsPausesAccepting)
{
    HttpLimits limits;
    limits.acceptPause = 100ms;
    limits.logWindow = 1000ms;
    listenWithHello(limits);

    // The peers' sockets exist before the limit drops to just above them, so that only the
    // server's accept runs short.
    int peers[3];
    const timeval patience { 10, 0 };
    for (int& peer : peers) {
        peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }
    ASSERT_GE(peers[2], 0);
    rlimit original {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = rlim_t(*std::max_element(std::begin(peers), std::end(peers)) + 1);
    const QString failed
        = "cannot accept new connection: " + QString::fromLocal8Bit(std::strerror(EMFILE));
    const QString summary = "^(\\d+) similar lines left out in 1000 ms, the last: " + failed + "$";
    const sockaddr_in address { AF_INET, htons(port), { htonl(INADDR_LOOPBACK) }, {} };
    const QByteArray hello = "GET /hello HTTP/1.1\r\n\r\n";

    // Nothing that may report a failure (and so need a descriptor) until the limit is back.
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    bool sent = true;
    for (int peer : peers) {
        sent = sent
            && ::connect(peer, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
            && ::send(peer, hello.constData(), hello.size(), MSG_NOSIGNAL) == hello.size();
    }
    const bool summarised = sent && waitForLogged(summary, 1);
    ::setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_TRUE(sent);
    ASSERT_TRUE(summarised);

    // One line, then the summary of the first window: it counts the failures left out, a few
    // pauses' worth, not the thousands of a listener that spins.
    const QStringList lines = serverLines();
    const QStringList firstWindow = lines.mid(0, lines.indexOf(QRegularExpression(summary)));
    EXPECT_EQ(firstWindow.filter(QRegularExpression("^" + failed + "$")).size(), 1);
    EXPECT_LE(captured(summary).toInt(), 20);

    for (int peer : peers) {
        QByteArray answer;
        char buffer[256];
        for (ssize_t got; (got = ::recv(peer, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, got);
        EXPECT_EQ(answer, okText("hi"));
        ::close(peer);
    }
}

TEST_F(HttpServerTest, BusyPortFailsAndStaysUsable)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    EXPECT_FALSE(server->listen(QHostAddress::LocalHost, occupant.serverPort()));
    EXPECT_TRUE(serverLines().contains(
        "cannot bind socket address: " + QString::fromLocal8Bit(std::strerror(EADDRINUSE))));

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
    EXPECT_FALSE(roundTrip(oldPort, "GET / HTTP/1.1\r\n\r\n", 2s).connected);
    EXPECT_EQ(roundTrip(port, "GET / HTTP/1.1\r\n\r\n").data, notFound);

    server->close();
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
    EXPECT_EQ(serverLines(), QStringList { "stopping listener" });
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
    ASSERT_TRUE(waitForServerLine(
        QRegularExpression("^processing handler with route \\^GET /slow\\$ for connection \\d+$")));
    server.reset();
    EXPECT_TRUE(finished);
    client->wait();
    EXPECT_EQ(reply.data, okText("done"));
}

} // namespace
