#include "pairing.h"

#include <vesk/log/peertext.h>

#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

namespace vesk::manage {

namespace {

struct Answer
{
    int status = 0;
    QByteArray reasonPhrase;
    QByteArray publicKey;
    QByteArray iv;
    QByteArray body;
};

// One request, bounded in time and size; no proxy and no redirect: the register is spoken to
// directly or not at all.
std::optional<Answer> post(const PairingRequest& request, const QByteArray& body,
    const PairingLimits& limits, QString& error)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(request.address.toString());
    url.setPort(request.port);
    url.setPath(QStringLiteral("/v1/command/connect"));
    QNetworkRequest http(url);
    http.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    http.setRawHeader("Accept", "application/json");
    // Without this Qt asks for compressed answers and would try to undo any encoding it knows.
    http.setRawHeader("Accept-Encoding", "identity");
    http.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    http.setTransferTimeout(limits.timeoutMs);

    std::unique_ptr<QNetworkReply> reply(manager.post(http, body));
    reply->setReadBufferSize(limits.maxAnswerBytes + 1);
    QEventLoop loop;
    bool oversized = false;
    bool late = false;
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop, [&](qint64 received) {
        if (received > limits.maxAnswerBytes) {
            oversized = true;
            reply->abort();
        }
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // The transfer time-out restarts with each piece; this one bounds the whole exchange.
    QTimer::singleShot(limits.timeoutMs, &loop, [&] {
        late = true;
        reply->abort();
    });
    if (!reply->isFinished())
        loop.exec();

    const QString where = QStringLiteral("%1:%2").arg(request.address.toString()).arg(request.port);
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.reasonPhrase
        = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    if (oversized) {
        error = QStringLiteral("the register at %1 answered more than %2 bytes")
                    .arg(where)
                    .arg(limits.maxAnswerBytes);
        return std::nullopt;
    }
    if (late) {
        error = QStringLiteral("the register at %1 did not answer within %2 s")
                    .arg(where)
                    .arg(limits.timeoutMs / 1000.0);
        return std::nullopt;
    }
    if (answer.status == 0) {
        error = QStringLiteral("no answer from the register at %1: %2")
                    .arg(where, log::peerText(reply->errorString()));
        return std::nullopt;
    }
    answer.publicKey = reply->rawHeader("X-PK");
    answer.iv = reply->rawHeader("X-IV");
    answer.body = reply->read(limits.maxAnswerBytes + 1);
    return answer;
}

QString refusal(const Answer& answer)
{
    const QString reason = QJsonDocument::fromJson(answer.body).object().value("reason").toString();
    QString text = QStringLiteral("the register refused the pairing: %1 %2")
                       .arg(answer.status)
                       .arg(log::peerText(QString::fromLatin1(answer.reasonPhrase), 100));
    if (!reason.isEmpty())
        text += QStringLiteral(": ") + log::peerText(reason);
    return text;
}

// Only what a path on the register is ever made of: it goes into rsync's and ssh's command
// lines and into the command the register's forced command vets.
bool plainAbsolutePath(const QString& path)
{
    static const QRegularExpression rule(QStringLiteral("^(/[A-Za-z0-9._-]+)+$"));
    return path.size() <= 1024 && rule.match(path).hasMatch()
        && !path.split(u'/').contains(QStringLiteral(".."));
}

} // namespace

std::optional<PairingAnswer> pairWith(
    const PairingRequest& request, const PairingLimits& limits, PairingError& failure)
{
    QString& error = failure.text;
    const auto [own, ownPublic] = ssl::generateKeyPairEC();
    const QJsonObject command {
        { "type", "file-rsync" },
        { "keyToken", request.token.toString(QUuid::WithoutBraces) },
        { "serverKey", QString::fromLatin1(ownPublic.der().toBase64()) },
        { "clientKey", QString::fromUtf8(request.clientKey) },
        { "server", request.server },
    };
    const std::optional<Answer> answer
        = post(request, QJsonDocument(command).toJson(QJsonDocument::Compact), limits, error);
    if (!answer)
        return std::nullopt;
    if (answer->status != 200) {
        failure.refused = true;
        error = refusal(*answer);
        return std::nullopt;
    }

    PairingAnswer result;
    result.received = QDateTime::currentDateTime();
    QByteArray plaintext;
    try {
        const ssl::PublicKey registerKey
            = ssl::PublicKey::fromDer(QByteArray::fromBase64(answer->publicKey));
        result.key = ssl::deriveKey(own, registerKey);
        const qsizetype tag = ssl::EncryptedDataGcm::tagLength;
        if (answer->body.size() < tag)
            throw ssl::Error("the answer is shorter than its tag");
        plaintext = ssl::decryptWithGcm(result.key.bytes(),
            ssl::EncryptedDataGcm(answer->body.first(answer->body.size() - tag),
                QByteArray::fromBase64(answer->iv), answer->body.last(tag)));
    } catch (const std::exception& e) {
        error = QStringLiteral("cannot decrypt the register's answer: %1").arg(e.what());
        return std::nullopt;
    }
    const QJsonObject object = QJsonDocument::fromJson(plaintext).object();
    result.catalog = object.value("catalog").toString();
    result.registerTime
        = QDateTime::fromString(object.value("datetime").toString(), Qt::ISODateWithMs);
    if (!plainAbsolutePath(result.catalog) || !result.registerTime.isValid()) {
        error = QStringLiteral("the register's answer is not usable: %1")
                    .arg(log::peerText(QString::fromUtf8(plaintext)));
        return std::nullopt;
    }
    return result;
}

QHostAddress localAddressTowards(const QHostAddress& address)
{
    // A connected datagram socket only asks the routing table; nothing is sent.
    QUdpSocket socket;
    socket.connectToHost(address, 9);
    if (!socket.waitForConnected(1000))
        return {};
    return socket.localAddress();
}

} // namespace vesk::manage
