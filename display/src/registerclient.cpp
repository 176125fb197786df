#include "registerclient.h"

#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <cstring>

namespace vesk::display {

namespace {

struct HttpAnswer
{
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray& name) const
    {
        for (const auto& [key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

// The register answers once and closes the connection, so everything up to the close is the
// answer.
std::optional<HttpAnswer> parseAnswer(const QByteArray& raw)
{
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return std::nullopt;
    const QList<QByteArray> lines = raw.left(end).split('\n');
    const QList<QByteArray> status = lines.front().trimmed().split(' ');
    if (status.size() < 2 || !status[0].startsWith("HTTP/1."))
        return std::nullopt;
    HttpAnswer answer;
    bool ok = false;
    answer.status = status[1].toInt(&ok);
    if (!ok)
        return std::nullopt;
    answer.reason = lines.front().trimmed().mid(status[0].size() + status[1].size() + 2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            answer.headers.append(
                { lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed() });
    }
    answer.body = raw.mid(end + 4);
    const QByteArray length = answer.header("Content-Length");
    if (!length.isEmpty()) {
        const qsizetype expected = length.toLongLong(&ok);
        if (!ok || expected > answer.body.size())
            return std::nullopt;
        answer.body.truncate(expected);
    }
    return answer;
}

} // namespace

std::optional<StreamAccess> connectToStream(
    const QHostAddress& host, quint16 port, int timeoutMs, QString& error)
{
    const auto [ownPrivate, ownPublic] = ssl::generateKeyPairEC();
    const QByteArray body
        = QJsonDocument(QJsonObject { { "pk", QString::fromLatin1(ownPublic.der().toBase64()) } })
              .toJson(QJsonDocument::Compact);

    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    // Qt would otherwise buffer whatever arrives, however much that is.
    socket.setReadBufferSize(maxAnswerBytes + 1);
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        error = QString("cannot reach the register at %1:%2: %3")
                    .arg(host.toString())
                    .arg(port)
                    .arg(socket.errorString());
        return std::nullopt;
    }
    const QByteArray request = "POST /v1/stream/connect HTTP/1.1\r\nHost: "
        + host.toString().toLatin1() + ':' + QByteArray::number(port)
        + "\r\nContent-Type: application/json\r\nAccept: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    socket.write(request);
    QByteArray raw;
    while (socket.state() == QAbstractSocket::ConnectedState && raw.size() <= maxAnswerBytes
        && !deadline.hasExpired() && socket.waitForReadyRead(int(deadline.remainingTime())))
        raw += socket.read(maxAnswerBytes + 1 - raw.size());
    if (raw.size() <= maxAnswerBytes)
        raw += socket.read(maxAnswerBytes + 1 - raw.size());
    if (raw.size() > maxAnswerBytes) {
        error = QString("the register at %1:%2 answered more than %3 bytes")
                    .arg(host.toString())
                    .arg(port)
                    .arg(maxAnswerBytes);
        return std::nullopt;
    }
    if (socket.state() == QAbstractSocket::ConnectedState && deadline.hasExpired()) {
        error = QString("the register at %1:%2 did not finish its answer within %3 s")
                    .arg(host.toString())
                    .arg(port)
                    .arg(timeoutMs / 1000.0);
        return std::nullopt;
    }

    const std::optional<HttpAnswer> answer = parseAnswer(raw);
    if (!answer) {
        error = QString("the register at %1:%2 gave no complete HTTP answer")
                    .arg(host.toString())
                    .arg(port);
        return std::nullopt;
    }
    if (answer->status != 200) {
        error = QString("the register refused the stream: %1 %2 %3")
                    .arg(answer->status)
                    .arg(QString::fromUtf8(answer->reason), QString::fromUtf8(answer->body));
        return std::nullopt;
    }
    QByteArray plaintext;
    try {
        const ssl::PublicKey registerKey
            = ssl::PublicKey::fromDer(QByteArray::fromBase64(answer->header("X-PK")));
        const ssl::SharedKey key = ssl::deriveKey(ownPrivate, registerKey);
        const qsizetype tag = ssl::EncryptedDataGcm::tagLength;
        if (answer->body.size() < tag)
            throw ssl::Error("answer shorter than its tag");
        plaintext = ssl::decryptWithGcm(key.bytes(),
            ssl::EncryptedDataGcm(answer->body.left(answer->body.size() - tag),
                QByteArray::fromBase64(answer->header("X-IV")), answer->body.right(tag)));
    } catch (const std::exception& e) {
        error = QString("cannot decrypt the register's answer: %1").arg(e.what());
        return std::nullopt;
    }

    const QJsonObject object = QJsonDocument::fromJson(plaintext).object();
    StreamAccess access;
    const double id = object.value("stream").toDouble(-1);
    const QString listen = object.value("listen").toString();
    const QByteArray master = QByteArray::fromBase64(object.value("master").toString().toLatin1());
    const QByteArray signer = QByteArray::fromBase64(object.value("signer").toString().toLatin1());
    const qsizetype colon = listen.lastIndexOf(':');
    bool portOk = false;
    const uint listenPort = colon > 0 ? listen.mid(colon + 1).toUInt(&portOk) : 0;
    access.address = QHostAddress(colon > 0 ? listen.left(colon) : QString());
    if (id < 0 || id > 4294967295.0 || access.address.isNull() || !portOk || listenPort > 65535
        || master.size() != qsizetype(access.key.size())
        || signer.size() != qsizetype(access.signer.size())) {
        error
            = QString("the register's answer is not usable: %1").arg(QString::fromUtf8(plaintext));
        return std::nullopt;
    }
    access.streamId = std::uint32_t(id);
    access.port = quint16(listenPort);
    std::memcpy(access.key.data(), master.constData(), access.key.size());
    std::memcpy(access.signer.data(), signer.constData(), access.signer.size());
    access.datetime = object.value("datetime").toString();
    return access;
}

} // namespace vesk::display
