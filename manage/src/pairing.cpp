#include "pairing.h"

#include <vesk/log/peertext.h>

#include <vesk/protocol/api.h>
#include <vesk/protocol/encryptedanswer.h>
#include <vesk/protocol/httpexchange.h>
#include <vesk/protocol/timetext.h>
#include <vesk/ssl/crypto.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUdpSocket>

namespace vesk::manage {

namespace {

namespace api = protocol::api::connect;

using Answer = protocol::HttpAnswer;

QString refusal(const Answer& answer)
{
    const QString reason
        = QJsonDocument::fromJson(answer.body).object().value(protocol::api::reason).toString();
    QString text = QStringLiteral("the register refused the pairing: %1 %2")
                       .arg(answer.status)
                       .arg(log::peerText(QString::fromLatin1(answer.reason), 100));
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
        { api::type, api::fileRsync },
        { api::keyToken, request.token.toString(QUuid::WithoutBraces) },
        { api::serverKey, QString::fromLatin1(ownPublic.der().toBase64()) },
        { api::clientKey, QString::fromUtf8(request.clientKey) },
        { api::server, request.server },
    };
    protocol::HttpRequestToRegister http;
    http.address = request.address.toIPv4Address();
    http.port = request.port;
    http.path = QByteArray(protocol::api::connectPath.data(), protocol::api::connectPath.size());
    http.body = QJsonDocument(command).toJson(QJsonDocument::Compact);
    http.timeoutMs = limits.timeoutMs;
    http.maxAnswerBytes = limits.maxAnswerBytes;
    const std::optional<Answer> answer = protocol::exchange(http, error);
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
        protocol::OpenedAnswer opened
            = protocol::openAnswer(own, answer->header(protocol::answer::publicKeyHeader.data()),
                answer->header(protocol::answer::ivHeader.data()), answer->body);
        result.key = opened.key;
        plaintext = std::move(opened.plaintext);
    } catch (const std::exception& e) {
        error = QStringLiteral("cannot decrypt the register's answer: %1").arg(e.what());
        return std::nullopt;
    }
    const QJsonObject object = QJsonDocument::fromJson(plaintext).object();
    result.catalog = object.value(api::catalog).toString();
    result.registerTime = protocol::readWireTime(object.value(api::datetime).toString());
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
