#include "registerclient.h"

#include "peertext.h"

#include <vesk/protocol/api.h>
#include <vesk/protocol/encryptedanswer.h>
#include <vesk/protocol/httpexchange.h>
#include <vesk/ssl/crypto.h>
#include <vesk/streamanchor.h>
#include <vesk/streamdisclosure.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vesk::display {

namespace {

// A register's text in one of our messages.
QString said(QStringView text)
{
    return QString::fromUtf8(peerText(text));
}

// A member that must be a whole number from 0 to `max`. Nothing, with `error` set, otherwise.
//   "stream": 7            -> 7
//   "stream": -1, 1e30     -> "stream" is out of range: -1, 1e+30
//   "stream": 1.5          -> "stream" is not a whole number: 1.5
//   "stream": "7", absent  -> "stream" is not a number / is missing
std::optional<std::uint64_t> wholeNumber(
    const QJsonObject& object, const char* name, double max, QString& error)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined()) {
        error = QString("\"%1\" is missing").arg(name);
        return std::nullopt;
    }
    if (!value.isDouble()) {
        error = QString("\"%1\" is not a number").arg(name);
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (!(number >= 0 && number <= max)) {
        error = QString("\"%1\" is out of range: %2").arg(name).arg(number, 0, 'g', 17);
        return std::nullopt;
    }
    if (number != std::floor(number)) {
        error = QString("\"%1\" is not a whole number: %2").arg(name).arg(number, 0, 'g', 17);
        return std::nullopt;
    }
    return std::uint64_t(number);
}

// Exactly `size` bytes in Base64; empty, with `error` set, otherwise.
QByteArray base64Member(const QJsonObject& object, const char* name, qsizetype size, QString& error)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(object.value(QLatin1String(name)).toString().toLatin1(),
            QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size) {
        error = QString("\"%1\" is not %2 bytes in Base64").arg(name).arg(size);
        return {};
    }
    return decoded.decoded;
}

template <std::size_t Size>
bool base64Member(const QJsonObject& object, const char* name, std::array<std::uint8_t, Size>& out,
    QString& error)
{
    const QByteArray bytes = base64Member(object, name, qsizetype(Size), error);
    if (bytes.isEmpty())
        return false;
    std::memcpy(out.data(), bytes.constData(), Size);
    return true;
}

// A member that may be missing; when there, exactly `size` bytes in Base64.
bool optionalBase64Member(
    const QJsonObject& object, const char* name, qsizetype size, QByteArray& out, QString& error)
{
    if (!object.contains(QLatin1String(name)))
        return true;
    out = base64Member(object, name, size, error);
    return !out.isEmpty();
}

} // namespace

std::optional<StreamAccess> connectToStream(const QHostAddress& host, quint16 port, int timeoutMs,
    QString& error, const std::atomic<bool>* cancel)
{
    const auto [ownPrivate, ownPublic] = ssl::generateKeyPairEC();
    const QByteArray body = QJsonDocument(QJsonObject { { protocol::api::stream::publicKey,
                                              QString::fromLatin1(ownPublic.der().toBase64()) } })
                                .toJson(QJsonDocument::Compact);

    protocol::HttpRequestToRegister request;
    request.address = host.toIPv4Address();
    request.port = port;
    request.path = QByteArray(protocol::api::streamConnectPath.data(),
        protocol::api::streamConnectPath.size());
    request.body = body;
    request.timeoutMs = timeoutMs;
    request.maxAnswerBytes = maxAnswerBytes;
    request.cancel = cancel;
    const std::optional<protocol::HttpAnswer> answer = protocol::exchange(request, error);
    if (!answer)
        return std::nullopt;
    if (answer->status != 200) {
        error = QString("the register refused the stream: %1 %2 %3")
                    .arg(answer->status)
                    .arg(said(QString::fromUtf8(answer->reason)),
                        said(QString::fromUtf8(answer->body)));
        return std::nullopt;
    }
    QByteArray plaintext;
    try {
        plaintext = protocol::openAnswer(ownPrivate,
            answer->header(protocol::answer::publicKeyHeader.data()),
            answer->header(protocol::answer::ivHeader.data()), answer->body)
                        .plaintext;
    } catch (const std::exception& e) {
        error
            = QString("cannot decrypt the register's answer: %1").arg(QString::fromUtf8(e.what()));
        return std::nullopt;
    }

    std::optional<StreamAccess> access = readAccess(plaintext, error);
    if (access) {
        access->join.asked = answer->sent;
        access->join.answered = answer->answered;
    }
    return access;
}

std::optional<StreamAccess> readAccess(const QByteArray& plaintext, QString& error)
{
    const auto unusable = [&error] {
        error = QString("the register's answer is not usable: %1").arg(error);
        return std::nullopt;
    };
    const QJsonDocument document = QJsonDocument::fromJson(plaintext);
    if (!document.isObject()) {
        error = QString("not a JSON object: %1").arg(said(QString::fromUtf8(plaintext)));
        return unusable();
    }
    const QJsonObject object = document.object();
    // First, so that a register of another version is told apart from a broken one.
    if (!object.contains("protocol")) {
        error = QString("the register names no stream protocol, so it speaks an earlier one than "
                        "this display (%1)")
                    .arg(protocolVersion);
        return std::nullopt;
    }
    const std::optional<std::uint64_t> protocol = wholeNumber(object, "protocol", 255, error);
    if (!protocol)
        return unusable();
    if (*protocol != std::uint64_t(protocolVersion)) {
        error = QString("the register speaks stream protocol %1; this display speaks %2")
                    .arg(*protocol)
                    .arg(protocolVersion);
        return std::nullopt;
    }

    StreamAccess access;
    const auto id = wholeNumber(object, "stream", 4294967295.0, error);
    // Milliseconds of a steady clock: 2^53 is 285,000 years, and exact in a JSON number.
    const auto clock = id ? wholeNumber(object, "clock", 9007199254740992.0, error) : std::nullopt;
    if (!clock || !base64Member(object, "master", access.key, error)
        || !base64Member(object, "signer", access.signer, error))
        return unusable();
    access.join.anchor = base64Member(object, "anchor", qsizetype(StreamAnchor::size), error);
    if (access.join.anchor.isEmpty()
        || !optionalBase64Member(
            object, "next", qsizetype(StreamAnchor::size), access.join.next, error)
        || !optionalBase64Member(
            object, "key", qsizetype(StreamDisclosure::size), access.join.key, error))
        return unusable();
    const QString listen = object.value("listen").toString();
    const qsizetype colon = listen.lastIndexOf(':');
    bool portOk = false;
    const uint listenPort = colon > 0 ? listen.mid(colon + 1).toUInt(&portOk) : 0;
    access.address = QHostAddress(colon > 0 ? listen.left(colon) : QString());
    if (access.address.isNull() || !portOk || listenPort > 65535) {
        error = QString("\"listen\" is not ADDRESS:PORT: %1").arg(said(listen));
        return unusable();
    }
    access.streamId = std::uint32_t(*id);
    access.port = quint16(listenPort);
    access.join.clock = std::chrono::milliseconds(*clock);
    access.datetime = object.value("datetime").toString();
    return access;
}

} // namespace vesk::display
