#include <vesk/httprequest.h>

#include <gtest/gtest.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <utility>

using namespace std::chrono_literals;
using vesk::HttpRequest;

namespace {

std::optional<HttpRequest> parseBytes(QBuffer& buffer, const QByteArray& bytes,
    HttpRequest::ParseError* error = nullptr, const vesk::HttpLimits& limits = {})
{
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return HttpRequest::parse(&buffer, limits, error);
}

struct HeadCase
{
    const char* name;
    QByteArray input;
    bool parses;
    QByteArray method;
    QByteArray path;
    QByteArray protocol;
    // Lookups by the name as given, with the expected value ("" also for an absent field).
    QList<std::pair<QByteArray, QByteArray>> headers;
};

// Mirrors the table above HttpRequest::parse.
const HeadCase headCases[] = {
    { "plain", "GET /index.html HTTP/1.1\r\n\r\n", true, "GET", "/index.html", "HTTP/1.1",
        { { "host", "" } } },
    { "bareLf", "GET /a HTTP/1.1\nHost: x\n\n", true, "GET", "/a", "HTTP/1.1",
        { { "host", "x" } } },
    { "mixedLineEnds", "GET /a HTTP/1.1\r\nA: 1\n\r\n", true, "GET", "/a", "HTTP/1.1",
        { { "a", "1" } } },
    { "queryStringStaysInPath", "GET /a?b=1&c=%20 HTTP/1.1\r\n\r\n", true, "GET", "/a?b=1&c=%20",
        "HTTP/1.1", {} },
    { "twoSpacesGiveEmptyPath", "GET  /a HTTP/1.1\r\n\r\n", true, "GET", "", "/a", {} },
    { "noSpaces", "GET\r\n\r\n", true, "GET", "", "", {} },
    { "fieldsAfterThirdIgnored", "GET /a HTTP/1.1 extra\r\n\r\n", true, "GET", "/a", "HTTP/1.1",
        {} },
    { "methodNotFolded", "post /a HTTP/1.0\r\n\r\n", true, "post", "/a", "HTTP/1.0", {} },
    { "valueTrimmedNameLowered", "POST / HTTP/1.1\r\nContent-Type:   application/json   \r\n\r\n",
        true, "POST", "/", "HTTP/1.1",
        { { "content-type", "application/json" }, { "CONTENT-TYPE", "application/json" } } },
    { "hostKeepsPort", "GET / HTTP/1.1\r\nHost: 10.0.0.5:49152\r\n\r\n", true, "GET", "/",
        "HTTP/1.1", { { "Host", "10.0.0.5:49152" } } },
    { "spaceBeforeColonStaysInName", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", true, "GET", "/",
        "HTTP/1.1", { { "host", "" }, { "HOST ", "x" } } },
    { "lineWithoutColon", "GET / HTTP/1.1\r\nNoColon Here\r\nHost: x\r\n\r\n", true, "GET", "/",
        "HTTP/1.1", { { "nocolon here", "" }, { "host", "x" } } },
    { "repeatedNameLastWins", "GET / HTTP/1.1\r\nX-Id: 1\r\nx-ID: 2\r\n\r\n", true, "GET", "/",
        "HTTP/1.1", { { "X-Id", "2" } } },
    { "colonsInValue", "GET / HTTP/1.1\r\nX: a:b: c\r\n\r\n", true, "GET", "/", "HTTP/1.1",
        { { "x", "a:b: c" } } },
    { "onlyOneCrDropped", "GET / HTTP/1.1\r\r\n\r\n", true, "GET", "/", "HTTP/1.1\r", {} },
    { "emptyFirstLine", "\r\nGET / HTTP/1.1\r\n\r\n", false, {}, {}, {}, {} },
    { "noEmptyLine", "GET / HTTP/1.1\r\nHost: x\r\n", false, {}, {}, {}, {} },
    { "noLineEnd", "GET / HTTP/1.1", false, {}, {}, {}, {} },
    { "nothing", "", false, {}, {}, {}, {} },
};

// Names the case instead of dumping its bytes.
void PrintTo(const HeadCase& c, std::ostream* os)
{
    *os << c.name;
}

class HeadTable : public testing::TestWithParam<HeadCase>
{
};

TEST_P(HeadTable, Parses)
{
    const HeadCase& c = GetParam();
    QBuffer buffer;
    HttpRequest::ParseError error = HttpRequest::ParseError::headTooLarge;
    const auto request = parseBytes(buffer, c.input, &error);
    ASSERT_EQ(request.has_value(), c.parses);
    if (!request) {
        EXPECT_EQ(error, HttpRequest::ParseError::notRequest);
        return;
    }
    EXPECT_EQ(request->method(), c.method);
    EXPECT_EQ(request->path(), c.path);
    EXPECT_EQ(request->protocol(), c.protocol);
    for (const auto& [name, value] : c.headers)
        EXPECT_EQ(request->header(name), value) << name.constData();
    EXPECT_EQ(request->device(), &buffer);
}

INSTANTIATE_TEST_SUITE_P(HttpRequest, HeadTable, testing::ValuesIn(headCases),
    [](const testing::TestParamInfo<HeadCase>& info) { return std::string(info.param.name); });

TEST(HttpRequest, HostAndContentTypeAccessors)
{
    QBuffer buffer;
    const auto request = parseBytes(
        buffer, "POST /x HTTP/1.1\r\nhOsT: register:49152\r\ncontent-TYPE: text/plain\r\n\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->host(), "register:49152");
    EXPECT_EQ(request->contentType(), "text/plain");
}

TEST(HttpRequest, LineLongerThanTheLimitIsRefused)
{
    // Up to the limit, line ending included, a line is one line; one byte more refuses the head
    // instead of reading the tail as a line of its own, where it could pass for a field.
    const QByteArray first = "GET /" + QByteArray(1007, 'a') + " HTTP/1.1\r\n";
    ASSERT_EQ(first.size(), 1023);
    QBuffer fits;
    const auto request = parseBytes(fits, first + "\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->path(), "/" + QByteArray(1007, 'a'));

    const QByteArray padded = "X-Pad: " + QByteArray(1016, 'p') + "Content-Type: application/json";
    for (const QByteArray& head : { "GET /" + QByteArray(1008, 'a') + " HTTP/1.1\r\n\r\n",
             "POST / HTTP/1.1\r\n" + padded + "\r\n\r\n" }) {
        HttpRequest::ParseError error = HttpRequest::ParseError::notRequest;
        QBuffer buffer;
        EXPECT_FALSE(parseBytes(buffer, head, &error));
        EXPECT_EQ(error, HttpRequest::ParseError::headTooLarge);
    }

    vesk::HttpLimits wide;
    wide.maxLineBytes = 4096;
    QBuffer buffer;
    const auto widened
        = parseBytes(buffer, "POST / HTTP/1.1\r\n" + padded + "\r\n\r\n", nullptr, wide);
    ASSERT_TRUE(widened);
    EXPECT_EQ(widened->contentType(), "");
}

TEST(HttpRequest, BodyIsLeftUnreadInTheDevice)
{
    QBuffer buffer;
    const auto request
        = parseBytes(buffer, "POST /v1 HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"a\":\"b\"}\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header("content-length"), "11");
    EXPECT_EQ(request->device()->readAll(), "{\"a\":\"b\"}\r\n");
}

// The fuzzer's seed heads, fed from a buffer as the fuzzer feeds them.
TEST(HttpRequest, SeedHeadsFromTestData)
{
    struct Seed
    {
        const char* file;
        bool parses;
        QByteArray path;
    };
    const Seed seeds[] = {
        { "connect-request.http", true, "/v1/command/connect" },
        { "bare-lf-odd-fields.http", true, "/a?b=1&c=%20" },
        { "two-spaces-stray-cr.http", true, "" },
        { "empty-first-line.http", false, {} },
        { "long-request-line.http", false, {} },
    };
    for (const Seed& seed : seeds) {
        QFile file(QStringLiteral(VESK_TEST_DATA_DIR "/") + QLatin1String(seed.file));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << seed.file;
        QBuffer buffer;
        const auto request = parseBytes(buffer, file.readAll());
        ASSERT_EQ(request.has_value(), seed.parses) << seed.file;
        if (request) {
            EXPECT_EQ(request->path(), seed.path) << seed.file;
        }
    }
}

QByteArray headWithFields(int fields, int valueSize = 1)
{
    QByteArray head = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < fields; ++i)
        head += "X-" + QByteArray::number(i) + ": " + QByteArray(valueSize, 'v') + "\r\n";
    return head + "\r\n";
}

TEST(HttpRequest, HeadLimits)
{
    QBuffer atLineLimit;
    const auto request = parseBytes(atLineLimit, headWithFields(100));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header("x-99"), "v");

    HttpRequest::ParseError error = HttpRequest::ParseError::notRequest;
    QBuffer overLineLimit;
    EXPECT_FALSE(parseBytes(overLineLimit, headWithFields(101), &error));
    EXPECT_EQ(error, HttpRequest::ParseError::headTooLarge);

    // Exactly 64 KiB in all passes; one byte more does not.
    QByteArray big = headWithFields(64, 1000);
    const QByteArray filler = "X-Fill: ";
    big.insert(big.size() - 2,
        filler + QByteArray(64 * 1024 - big.size() - filler.size() - 2, 'f') + "\r\n");
    ASSERT_EQ(big.size(), 64 * 1024);
    // The filler is longer than a line buffer, so it is read as two lines.
    QBuffer atByteLimit;
    EXPECT_TRUE(parseBytes(atByteLimit, big, &error));
    big.insert(20, 'z');
    error = HttpRequest::ParseError::notRequest;
    QBuffer overByteLimit;
    EXPECT_FALSE(parseBytes(overByteLimit, big, &error));
    EXPECT_EQ(error, HttpRequest::ParseError::headTooLarge);
}

TEST(HttpRequest, RunWithoutLineEndIsBounded)
{
    QBuffer buffer;
    HttpRequest::ParseError error = HttpRequest::ParseError::notRequest;
    EXPECT_FALSE(parseBytes(buffer, "GET / HTTP/1.1\r\n" + QByteArray(1 << 20, 'a'), &error));
    EXPECT_EQ(error, HttpRequest::ParseError::headTooLarge);
    EXPECT_LE(buffer.pos(), 64 * 1024 + 1023);
}

// A connected TCP pair on loopback: the accepted end as a QTcpSocket for the parser, the other
// end as a plain descriptor that any thread may write to.
class SocketPair
{
public:
    SocketPair()
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            return;
        m_peer = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_server.serverPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_peer, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return;
        if (m_server.waitForNewConnection(5000))
            m_accepted.reset(m_server.nextPendingConnection());
    }
    ~SocketPair()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_writer.joinable())
            m_writer.join();
        if (m_peer >= 0)
            ::close(m_peer);
    }

    QTcpSocket* accepted() const { return m_accepted.get(); }

    // Sends the pieces one after another, gap apart, from a thread of its own; the pair's end
    // cuts the rest short.
    void send(QList<QByteArray> pieces, std::chrono::milliseconds gap)
    {
        m_writer = std::thread([this, pieces = std::move(pieces), gap] {
            for (qsizetype i = 0; i < pieces.size(); ++i) {
                std::unique_lock lock(m_mutex);
                if (i > 0 && m_wake.wait_for(lock, gap, [this] { return m_stop; }))
                    return;
                if (::send(m_peer, pieces[i].constData(), pieces[i].size(), MSG_NOSIGNAL) < 0)
                    return;
                ++m_sent;
            }
        });
    }
    // How many pieces have gone out so far.
    qsizetype sent() const { return m_sent; }
    void closePeer()
    {
        if (m_writer.joinable())
            m_writer.join();
        ::close(std::exchange(m_peer, -1));
    }

private:
    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_accepted;
    int m_peer = -1;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::atomic<qsizetype> m_sent { 0 };
    std::thread m_writer;
};

TEST(HttpRequestOnSocket, PeerSilentAfterRequestLineFailsAfterOneWait)
{
    SocketPair pair;
    ASSERT_TRUE(pair.accepted());
    pair.send({ "GET / HTTP/1.1\r\n" }, 0ms);
    QElapsedTimer clock;
    clock.start();
    HttpRequest::ParseError error = HttpRequest::ParseError::headTooLarge;
    EXPECT_FALSE(HttpRequest::parse(pair.accepted(), {}, &error));
    EXPECT_EQ(error, HttpRequest::ParseError::notRequest);
    EXPECT_GE(clock.elapsed(), 900);
}

TEST(HttpRequestOnSocket, PeerClosingMidHeadFails)
{
    SocketPair pair;
    ASSERT_TRUE(pair.accepted());
    pair.send({ "GET / HTTP/1.1\r\nHost: x" }, 0ms);
    pair.closePeer();
    HttpRequest::ParseError error = HttpRequest::ParseError::headTooLarge;
    EXPECT_FALSE(HttpRequest::parse(pair.accepted(), {}, &error));
    EXPECT_EQ(error, HttpRequest::ParseError::notRequest);
}

TEST(HttpRequestOnSocket, EachLineHasItsOwnWait)
{
    // Five gaps of 400 ms add up to more than one wait, yet no single wait runs out.
    SocketPair pair;
    ASSERT_TRUE(pair.accepted());
    pair.send(
        { "GET /slow HTTP/1.1\r\n", "A: 1\r\n", "B: 2\r\n", "C: 3\r\n", "D: 4\r\n", "\r\nbody" },
        400ms);
    const auto request = HttpRequest::parse(pair.accepted());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->path(), "/slow");
    EXPECT_EQ(request->header("d"), "4");
}

TEST(HttpRequestOnSocket, TricklingHeadMissesTheDeadline)
{
    SocketPair pair;
    ASSERT_TRUE(pair.accepted());
    // A line every 300 ms, each well within the per-wait timeout, for a minute in all.
    QList<QByteArray> pieces { "GET / HTTP/1.1\r\n" };
    for (int i = 0; i < 200; ++i)
        pieces.append("X: " + QByteArray::number(i) + "\r\n");
    pair.send(pieces, 300ms);
    vesk::HttpLimits limits;
    limits.deadline = 1000ms;
    HttpRequest::ParseError error = HttpRequest::ParseError::notRequest;
    EXPECT_FALSE(HttpRequest::parse(pair.accepted(), limits, &error));
    EXPECT_EQ(error, HttpRequest::ParseError::deadlineMissed);
    // Given up at the deadline, while the peer was still trickling.
    EXPECT_LT(pair.sent(), pieces.size());
}

} // namespace
