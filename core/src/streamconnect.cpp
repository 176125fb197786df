#include <vesk/core.h>

#include "encryptedresponse.h"
#include "statusreport.h"

#include <vesk/httpresponse.h>
#include <vesk/ssl/crypto.h>
#include <vesk/stream.h>

#include <QDateTime>
#include <QJsonObject>
#include <QTimeZone>

#include <array>

namespace vesk {

HttpResponse Core::stream(const HttpRequest&, const QJsonDocument& document)
{
    // No check of the display's key here: an unusable key fails the agreement, which the frame
    // answers with 500 and the reason.
    const ssl::PublicKey displayKey = ssl::PublicKey::fromDer(
        QByteArray::fromBase64(document.object().value("pk").toString().toUtf8()));
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::SharedKey sharedKey = ssl::deriveKey(privateKey, displayKey);

    std::array<unsigned char, 32> streamKey {};
    m_stream->getKey(streamKey);
    const auto signerKey = m_stream->signerKey();
    const QDateTime now = QDateTime::currentDateTime();
    // Read once the display's key has been accepted: whatever the engine sends before this
    // moment, a display joining now refuses.
    const qint64 joined = m_stream->streamTime().count();

    const QJsonObject answer {
        { "stream", qint64(m_stream->streamId()) },
        { "listen",
            QString("%1:%2").arg(m_stream->peerAddress().toString()).arg(m_stream->peerPort()) },
        { "master",
            QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(streamKey.data()), streamKey.size())
                    .toBase64()) },
        { "datetime", now.toTimeZone(now.timeZone()).toString(Qt::ISODate) },
        // Everybody who asks learns the stream key; only this key's owner can sign datagrams.
        { "signer",
            QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(signerKey.data()), signerKey.size())
                    .toBase64()) },
        { "protocol", Stream::protocolVersion },
        // The stream clock to the millisecond; "datetime" has whole seconds of another clock.
        { "clock", joined },
    };
    HttpResponse response = detail::encryptedResponse(publicKey, sharedKey.bytes(),
        QJsonDocument(answer).toJson(QJsonDocument::Compact), "application/json");
    ++m_status->displaysJoined;
    statusChanged();
    return response;
}

} // namespace vesk
