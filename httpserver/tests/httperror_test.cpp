#include <vesk/httperror.h>

#include <gtest/gtest.h>

#include <QBuffer>

#include <exception>
#include <type_traits>

using vesk::HttpError;

namespace {

// A handler's catch of std::exception must not swallow an HTTP error meant for the client.
static_assert(!std::is_base_of_v<std::exception, HttpError>);
static_assert(std::is_base_of_v<vesk::HttpResponse, HttpError>);

QByteArray written(const vesk::HttpResponse& response)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    response.writeToDevice(&buffer);
    return buffer.data();
}

TEST(HttpError, EmptyBodyIsBareStatusLine)
{
    const HttpError notFound(404, "Not Found", {}, "plain/text");
    EXPECT_EQ(notFound.statusCode(), 404);
    EXPECT_EQ(notFound.header("Content-Type"), "");
    EXPECT_EQ(written(notFound), "HTTP/1.1 404 Not Found\r\n\r\n");
}

TEST(HttpError, BodyCarriesTypeAndLength)
{
    try {
        throw HttpError(409, "Conflict", "busy", "text/plain");
    } catch (const std::exception&) {
        FAIL() << "caught as std::exception";
    } catch (const HttpError& error) {
        EXPECT_EQ(written(error),
            "HTTP/1.1 409 Conflict\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nbusy");
    }
}

} // namespace
