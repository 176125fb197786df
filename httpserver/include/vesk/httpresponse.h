#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QList>

#include <utility>

class QIODevice;

namespace vesk {

// What a route handler returns and the server writes: status, an ordered list of header fields
// (names keep their case and may repeat) and a body. A plain value owned by one thread.
//
// Nothing is added on writing: no "Date", "Server" or "Connection" field, and no
// "Content-Length" unless setBody put one there.
class HttpResponse
{
public:
    // 200 "OK", no header fields, empty body.
    HttpResponse() = default;
    // 200 "OK"; setBody(body, contentType) when the body is not empty. An empty body gives no
    // header fields at all: the content type is dropped.
    HttpResponse(const QByteArray& body, const QByteArray& contentType);
    // 200 "OK" with the compact JSON text as "application/json", even when it is short.
    HttpResponse(const QJsonDocument& document);

    // Appends "Content-Type" and then "Content-Length" and replaces the body. Earlier fields of
    // those names are kept, so calling it twice leaves both pairs in the list.
    void setBody(const QByteArray& body, const QByteArray& contentType);
    void setStatus(int code, const QByteArray& text);
    // Appended at the end of the list; duplicates are not checked.
    void addHeader(const QByteArray& name, const QByteArray& value);

    int statusCode() const { return m_statusCode; }
    QByteArray statusText() const { return m_statusText; }
    // The value of the first field whose name matches case-insensitively, or an empty array.
    QByteArray header(const QByteArray& name) const;
    QByteArray body() const { return m_body; }

    // Writes the status line, the fields in list order, the empty line and the body. Small
    // responses go out in one write. Write failures are not examined; the caller flushes.
    void writeToDevice(QIODevice* device) const;
    // What writeToDevice writes, in one piece.
    QByteArray toByteArray() const;

private:
    // The status line, the fields and the empty line, with room for `room` more bytes.
    QByteArray head(qsizetype room) const;

    int m_statusCode = 200;
    QByteArray m_statusText = "OK";
    QList<std::pair<QByteArray, QByteArray>> m_headers;
    QByteArray m_body;
};

} // namespace vesk
