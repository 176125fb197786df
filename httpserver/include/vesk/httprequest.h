#pragma once

#include <QByteArray>
#include <QMap>

#include <chrono>
#include <optional>

class QIODevice;

namespace vesk {

// The head of one HTTP/1.1 request: request line and header fields, read line by line from a
// connected device with blocking waits. The body is not read: it stays in the device for the
// handler to read through device().
//
// A value type; the device is not owned and must outlive the request. A request is used only on
// the thread that owns its device.
class HttpRequest
{
public:
    // Bounds on one head, so that a peer cannot hold a worker or memory without end. A line
    // longer than 1023 bytes is read in pieces of 1023 bytes, each counting as one line.
    struct Limits
    {
        // Header lines after the request line, the ending empty line not counted.
        int maxHeaderLines = 100;
        // Every byte of the head, line endings and the ending empty line included.
        qsizetype maxHeadBytes = 64 * 1024;
        // From the first byte of the head to its ending empty line.
        std::chrono::milliseconds deadline { 10000 };
    };

    enum class ParseError {
        // No complete line within one wait, end of stream, or an empty request line.
        notRequest,
        // The head missed Limits::deadline.
        deadlineMissed,
        // The head has more lines or bytes than Limits allows.
        headTooLarge,
    };

    // Each line is awaited for at most this long; a peer that sends something at least this
    // often keeps the parse going, up to the deadline.
    static constexpr std::chrono::milliseconds lineWait { 1000 };

    // Reads the head from device with the default Limits. Empty when the data is not a request,
    // the peer stalls, or a limit is exceeded; never throws on bad input. On success the
    // request's device is the argument, positioned at the first byte after the head.
    //
    //   "GET /a?b=1 HTTP/1.1\r\n\r\n"      -> method "GET", path "/a?b=1", protocol "HTTP/1.1"
    //   "GET /a HTTP/1.1\n\n"              -> the same fields (bare LF is a line end)
    //   "GET  /a HTTP/1.1\r\n\r\n"         -> path "", protocol "/a"
    //   "GET\r\n\r\n"                      -> method "GET", path "", protocol ""
    //   "\r\n..."                          -> empty (leading empty lines are not skipped)
    //   "Host:  x:80  \r\n"                -> header("host") == "x:80"
    //   "Host : x\r\n"                     -> stored under "host " (the name is not trimmed)
    //   "NoColon\r\n"                      -> header("nocolon") == ""
    //   "A: 1\r\na: 2\r\n"                 -> header("A") == "2" (the last one wins)
    static std::optional<HttpRequest> parse(QIODevice* device);
    // The same with explicit limits; error, when not null, receives the reason of a failure.
    static std::optional<HttpRequest> parse(
        QIODevice* device, const Limits& limits, ParseError* error);

    QByteArray method() const { return m_method; }
    QByteArray path() const { return m_path; }
    QByteArray protocol() const { return m_protocol; }
    // Case-insensitive; an empty QByteArray when the field is absent.
    QByteArray header(const QByteArray& name) const;
    QByteArray host() const { return header("host"); }
    QByteArray contentType() const { return header("content-type"); }
    QIODevice* device() const { return m_device; }

private:
    HttpRequest() = default;

    QByteArray m_method;
    QByteArray m_path;
    QByteArray m_protocol;
    // Keys in lower case.
    QMap<QByteArray, QByteArray> m_headers;
    QIODevice* m_device = nullptr;
};

} // namespace vesk
