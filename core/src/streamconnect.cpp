#include <vesk/core.h>

#include "encryptedresponse.h"
#include "statusreport.h"

#include <vesk/httpresponse.h>
#include <vesk/protocol/api.h>
#include <vesk/protocol/timetext.h>
#include <vesk/ssl/crypto.h>
#include <vesk/stream.h>

#include <QDateTime>
#include <QJsonObject>
#include <QTimeZone>

#include <array>

namespace vesk {

namespace api = protocol::api::stream;

HttpResponse Core::stream(const HttpRequest&, const QJsonDocument& document)
{
    // No check of the display's key here: an unusable key fails the agreement, which the frame
    // answers with 500 and the reason.
    const ssl::PublicKey displayKey = ssl::PublicKey::fromDer(
        QByteArray::fromBase64(document.object().value(api::publicKey).toString().toUtf8()));
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::SharedKey sharedKey = ssl::deriveKey(privateKey, displayKey);

    std::array<unsigned char, 32> streamKey {};
    m_stream->getKey(streamKey);
    const auto signerKey = m_stream->signerKey();
    const QDateTime now = QDateTime::currentDateTime();
    // Read once the display's request has come, with the anchors and the newest key in the same
    // moment: the display bounds the engine's clock from above by it.
    const StreamSealer::Joining joining = m_stream->joining();
    const auto base64
        = [](const QByteArray& bytes) { return QString::fromLatin1(bytes.toBase64()); };

    QJsonObject answer {
        { api::stream, qint64(m_stream->streamId()) },
        { api::listen,
            QString("%1:%2").arg(m_stream->peerAddress().toString()).arg(m_stream->peerPort()) },
        { api::master,
            base64(QByteArray(reinterpret_cast<const char*>(streamKey.data()), streamKey.size())) },
        { api::datetime, protocol::wireTimeSeconds(now) },
        // Everybody who asks learns the stream key; only this key's owner can sign anchors.
        { api::signer,
            base64(QByteArray(reinterpret_cast<const char*>(signerKey.data()), signerKey.size())) },
        { api::protocol, Stream::protocolVersion },
        // The stream clock to the millisecond; "datetime" has whole seconds of another clock.
        { api::clock, qint64(joining.clock.count()) },
        { api::anchor, base64(joining.anchor) },
    };
    // Only once there is one: the next chain in the last minute of a chain, a key after the
    // first interval.
    if (!joining.next.isEmpty())
        answer.insert(api::next, base64(joining.next));
    if (!joining.key.isEmpty())
        answer.insert(api::key, base64(joining.key));
    HttpResponse response = detail::encryptedResponse(publicKey, sharedKey.bytes(),
        QJsonDocument(answer).toJson(QJsonDocument::Compact), "application/json");
    ++m_status->displaysJoined;
    statusChanged();
    return response;
}

} // namespace vesk
