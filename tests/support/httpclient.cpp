#include "httpclient.h"

#include "loopback.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

namespace vesk::test {

QByteArray RawResponse::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.toLower() == name.toLower())
            return value;
    }
    return {};
}

QList<QByteArray> RawResponse::headerNames() const
{
    QList<QByteArray> names;
    for (const auto& field : headers)
        names.append(field.first);
    return names;
}

namespace {

RawResponse parseResponse(QByteArray raw, qint64 elapsedMs)
{
    RawResponse response;
    response.raw = raw;
    response.elapsedMs = elapsedMs;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return response;
    const QList<QByteArray> lines = raw.left(end).split('\n');
    const QByteArray statusLine = lines.value(0).trimmed();
    const QList<QByteArray> parts = statusLine.split(' ');
    response.status = parts.value(1).toInt();
    response.statusText = statusLine.mid(parts.value(0).size() + parts.value(1).size() + 2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        response.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
    }
    response.body = raw.mid(end + 4);
    return response;
}

} // namespace

RawResponse httpExchange(quint16 port, const QByteArray& request,
    const std::function<void(QTcpSocket&)>& more, const QHostAddress& from)
{
    RawResponse response;
    runOffThread(
        [&] {
            QTcpSocket socket;
            socket.bind(from);
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(5000))
                return;
            socket.write(request);
            socket.waitForBytesWritten(5000);
            QElapsedTimer clock;
            clock.start();
            if (more)
                more(socket);
            QByteArray raw;
            while (
                socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(20000))
                raw += socket.readAll();
            raw += socket.readAll();
            response = parseResponse(raw, clock.elapsed());
        },
        60s);
    return response;
}

QByteArray post(const QByteArray& path, const QList<std::pair<QByteArray, QByteArray>>& fields,
    const QByteArray& body)
{
    QByteArray request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& [name, value] : fields)
        request += name + ": " + value + "\r\n";
    return request + "\r\n" + body;
}

QByteArray postJson(const QByteArray& path, const QByteArray& body)
{
    return post(path,
        { { "Content-Type", "application/json" },
            { "Content-Length", QByteArray::number(body.size()) } },
        body);
}

} // namespace vesk::test
