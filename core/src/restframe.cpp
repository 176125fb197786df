#include <vesk/core.h>

#include "encryptedresponse.h"

#include <vesk/protocol/api.h>
#include <vesk/protocol/encryptedanswer.h>
#include "resterror.h"

#include <vesk/httperror.h>
#include <vesk/httprequest.h>
#include <vesk/log/logger.h>
#include <vesk/log/peertext.h>
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>
#include <vesk/ssl/publickey.h>

#include <QIODevice>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <array>

namespace vesk {

namespace {

// Compared as whole values: no lists, no parameters.
constexpr std::array<const char*, 4> acceptedTypes { "application/json", "*/*", "*/json",
    "application/*" };

[[noreturn]] void bareError(int status, const QByteArray& text)
{
    throw HttpError(status, text, {}, "plain/text");
}

} // namespace

template <HttpResponse (Core::*Handler)(const HttpRequest&, const QJsonDocument&)>
HttpResponse Core::rest(const HttpRequest& request)
{
    if (request.contentType() != "application/json")
        bareError(415, "Unsupported Media Type");

    const QByteArray accept = request.header("accept");
    if (!accept.isEmpty()
        && std::find(acceptedTypes.begin(), acceptedTypes.end(), accept) == acceptedTypes.end())
        bareError(406, "Not Acceptable");

    bool ok = false;
    qint64 length = request.header("content-length").toLongLong(&ok, 10);
    if (!ok)
        length = 0;
    if (length < 0)
        bareError(400, "Bad Request");
    // Both commands take a few hundred bytes; a larger body is refused before it is read, so a
    // client cannot make a worker hold an arbitrary amount of memory.
    const HttpLimits& limits = request.limits();
    if (length > limits.maxBodyBytes)
        bareError(413, "Payload Too Large");

    // Each wait is for the next arrival, so a client that keeps sending is served, up to the
    // deadline of the whole request that the server's device keeps.
    QIODevice* device = request.device();
    if (length > 0 && !device)
        bareError(400, "Bad Request");
    while (device && device->bytesAvailable() < length) {
        if (!device->waitForReadyRead(int(limits.readWait.count())))
            bareError(400, "Bad Request");
    }
    const QByteArray body = length > 0 ? device->read(length) : QByteArray();

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        bareError(400, "Bad Request");

    try {
        return (this->*Handler)(request, document);
    } catch (const std::exception& e) {
        // The answer keeps the whole reason, which goes back to the peer that sent it; the log
        // gets it cut.
        const QString reason = QString::fromUtf8(e.what());
        m_logger->log(log::Level::error, log::peerText(reason));
        HttpResponse response;
        if (const auto* restError = dynamic_cast<const detail::RestError*>(&e)) {
            response.setStatus(restError->status(),
                restError->status() == 500 ? "Internal Server Error" : "Bad Request");
        } else {
            response.setStatus(500, "Internal Server Error");
        }
        response.setBody(
            QJsonDocument(QJsonObject { { protocol::api::reason, reason } }).toJson(QJsonDocument::Compact),
            "application/json");
        return response;
    }
}

template HttpResponse Core::rest<&Core::connect>(const HttpRequest&);
template HttpResponse Core::rest<&Core::stream>(const HttpRequest&);

namespace detail {

HttpResponse encryptedResponse(const ssl::PublicKey& publicKey,
    std::span<const unsigned char, 32> key, const QByteArray& plaintext, QByteArray contentType)
{
    protocol::SealedAnswer sealed;
    try {
        sealed = protocol::sealAnswer(publicKey, key, plaintext);
    } catch (const ssl::Error& e) {
        throw RestError(500, "cannot encrypt response:" + QString::fromUtf8(e.what()));
    }
    const auto name = [](QLatin1String text) { return QByteArray(text.data(), text.size()); };
    HttpResponse response;
    response.addHeader(name(protocol::answer::contentEncodingHeader), name(protocol::answer::encoding));
    response.addHeader(name(protocol::answer::publicKeyHeader), sealed.publicKey);
    response.addHeader(name(protocol::answer::ivHeader), sealed.iv);
    response.setBody(std::move(sealed.body), std::move(contentType));
    return response;
}

} // namespace detail

} // namespace vesk
