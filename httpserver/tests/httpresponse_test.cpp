#include <vesk/httpresponse.h>

#include <gtest/gtest.h>

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>
#include <ostream>

using vesk::HttpResponse;

namespace {

QByteArray written(const HttpResponse& response)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    response.writeToDevice(&buffer);
    return buffer.data();
}

struct WireCase
{
    const char* name;
    std::function<HttpResponse()> make;
    QByteArray wire;
};

const WireCase wireCases[] = {
    { "defaultIsBareOk", [] { return HttpResponse(); }, "HTTP/1.1 200 OK\r\n\r\n" },
    { "emptyBodyDropsContentType", [] { return HttpResponse({}, "application/json"); },
        "HTTP/1.1 200 OK\r\n\r\n" },
    { "bodyGivesTypeThenLength", [] { return HttpResponse("hello", "text/plain"); },
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello" },
    { "compactJson",
        [] {
            return HttpResponse(QJsonDocument(QJsonObject { { "id", "a b" }, { "n", 1 } }));
        },
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 18\r\n\r\n"
        "{\"id\":\"a b\",\"n\":1}" },
    { "emptyJsonObjectStillTyped", [] { return HttpResponse(QJsonDocument(QJsonObject())); },
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}" },
    { "setBodyTwiceKeepsBothPairs",
        [] {
            HttpResponse r;
            r.setBody("a", "text/plain");
            r.setBody("bcd", "text/html");
            return r;
        },
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n"
        "Content-Type: text/html\r\nContent-Length: 3\r\n\r\nbcd" },
    { "addedFieldsComeFirst",
        [] {
            HttpResponse r;
            r.setStatus(503, "Service Unavailable");
            r.addHeader("X-PK", "key");
            r.addHeader("x-pk", "again");
            r.setBody("z", "application/octet-stream");
            return r;
        },
        "HTTP/1.1 503 Service Unavailable\r\nX-PK: key\r\nx-pk: again\r\n"
        "Content-Type: application/octet-stream\r\nContent-Length: 1\r\n\r\nz" },
};

// Names the case instead of dumping its bytes.
void PrintTo(const WireCase& c, std::ostream* os)
{
    *os << c.name;
}

class ResponseWire : public testing::TestWithParam<WireCase>
{
};

TEST_P(ResponseWire, Writes)
{
    EXPECT_EQ(written(GetParam().make()), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(HttpResponse, ResponseWire, testing::ValuesIn(wireCases),
    [](const testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

TEST(HttpResponse, Accessors)
{
    HttpResponse response("hello", "text/plain");
    EXPECT_EQ(response.statusCode(), 200);
    EXPECT_EQ(response.statusText(), "OK");
    EXPECT_EQ(response.body(), "hello");
    EXPECT_EQ(response.header("content-type"), "text/plain");
    EXPECT_EQ(response.header("CONTENT-LENGTH"), "5");
    EXPECT_EQ(response.header("Content-Encoding"), "");

    response.setBody("other", "text/html");
    EXPECT_EQ(response.header("Content-Type"), "text/plain") << "the first of two fields";
    response.setStatus(415, "Unsupported Media Type");
    EXPECT_EQ(response.statusCode(), 415);
    EXPECT_EQ(response.statusText(), "Unsupported Media Type");
}

// Counts the writes that reach it, so that we see how a response is cut into segments.
class WriteCounter : public QIODevice
{
public:
    WriteCounter() { open(QIODevice::WriteOnly); }
    int writes = 0;
    QByteArray data;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* bytes, qint64 size) override
    {
        ++writes;
        data.append(bytes, size);
        return size;
    }
};

TEST(HttpResponse, SmallResponseLeavesInOneWrite)
{
    HttpResponse response("{\"ok\":true}", "application/json");
    response.addHeader("X-IV", "abc");
    WriteCounter device;
    response.writeToDevice(&device);
    EXPECT_EQ(device.writes, 1);
    EXPECT_EQ(device.data, written(response));
}

TEST(HttpResponse, LargeBodyIsWrittenWhole)
{
    const QByteArray body(1 << 20, 'q');
    const HttpResponse response(body, "video/mp4");
    WriteCounter device;
    response.writeToDevice(&device);
    EXPECT_LE(device.writes, 2);
    EXPECT_EQ(device.data,
        "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 1048576\r\n\r\n" + body);
}

} // namespace
