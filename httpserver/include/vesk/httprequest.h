#pragma once

#include <vesk/httplimits.h>

#include <QByteArray>
#include <QMap>

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
    enum class ParseError {
        // No complete line within one wait, end of stream, or an empty request line.
        notRequest,
        // The head missed HttpLimits::deadline.
        deadlineMissed,
        // The head has more lines or bytes than HttpLimits allows, or a line longer than
        // HttpLimits::maxLineBytes.
        headTooLarge,
    };

    // Reads the head from device with the default HttpLimits. Empty when the data is not a
    // request, the peer stalls, or a limit is exceeded; never throws on bad input. On success
    // the request's device is the argument, positioned at the first byte after the head. Each
    // line is awaited for at most HttpLimits::readWait: a peer that sends something at least
    // that often keeps the parse going, up to the deadline.
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
    //   a line of more than maxLineBytes  -> empty, headTooLarge (never read as two lines)
    static std::optional<HttpRequest> parse(QIODevice* device);
    // The same with explicit limits; error, when not null, receives the reason of a failure.
    static std::optional<HttpRequest> parse(
        QIODevice* device, const HttpLimits& limits, ParseError* error);

    QByteArray method() const { return m_method; }
    QByteArray path() const { return m_path; }
    QByteArray protocol() const { return m_protocol; }
    // Case-insensitive; an empty QByteArray when the field is absent.
    QByteArray header(const QByteArray& name) const;
    QByteArray host() const { return header("host"); }
    QByteArray contentType() const { return header("content-type"); }
    QIODevice* device() const { return m_device; }
    // The limits the request was read under; a handler that reads the body keeps to
    // maxBodyBytes and readWait.
    const HttpLimits& limits() const { return m_limits; }

private:
    // The server reads the head from the bytes it collected and serves the request from the
    // connection: it moves the request to that device.
    friend class HttpServer;

    HttpRequest() = default;

    QByteArray m_method;
    QByteArray m_path;
    QByteArray m_protocol;
    // Keys in lower case.
    QMap<QByteArray, QByteArray> m_headers;
    QIODevice* m_device = nullptr;
    HttpLimits m_limits;
};

} // namespace vesk
