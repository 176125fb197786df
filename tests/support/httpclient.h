#pragma once
// Test support, not API: an HTTP exchange over loopback, the answer taken apart.

#include <QByteArray>
#include <QHostAddress>
#include <QList>

#include <chrono>
#include <functional>
#include <utility>

class QTcpSocket;

namespace vesk::test {

// One answer as it came over the wire.
struct RawResponse
{
    // Everything the server sent until it closed the connection.
    QByteArray raw;
    int status = 0;
    QByteArray statusText;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Milliseconds from the end of the request to the end of the answer.
    qint64 elapsedMs = 0;

    // The first field of that name, compared case-insensitively; empty when absent.
    QByteArray header(const QByteArray& name) const;
    QList<QByteArray> headerNames() const;
};

// Sends `request` byte for byte to 127.0.0.1:port from another thread, while this thread's event
// loop keeps running (the Core's main-thread work goes on meanwhile), and reads until the server
// closes. `more`, when given, runs on the client thread after the request was written, to send
// the rest of a slow request. `from` is the client's address, any of 127.0.0.0/8.
RawResponse httpExchange(quint16 port, const QByteArray& request,
    const std::function<void(QTcpSocket&)>& more = {},
    const QHostAddress& from = QHostAddress::LocalHost);

// A POST request with the given fields (name, value) and body; "Content-Length" is not added.
QByteArray post(const QByteArray& path, const QList<std::pair<QByteArray, QByteArray>>& fields,
    const QByteArray& body);

// A well-formed JSON request: Content-Type application/json, a matching Content-Length.
QByteArray postJson(const QByteArray& path, const QByteArray& body);

} // namespace vesk::test
