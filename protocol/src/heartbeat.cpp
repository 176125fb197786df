#include <vesk/protocol/heartbeat.h>

#include <vesk/protocol/timetext.h>
#include <vesk/ssl/crypto.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace vesk::protocol::heartbeat {

namespace {

const QLatin1String datetime("datetime");

} // namespace

QByteArray seal(QByteArrayView token, std::span<const unsigned char, 32> key, const QDateTime& now)
{
    const QJsonObject state { { datetime, wireTime(now) } };
    const ssl::EncryptedDataGcm encrypted
        = ssl::encryptWithGcm(key, QJsonDocument(state).toJson(QJsonDocument::Compact));
    return token.toByteArray() + encrypted.getIv() + encrypted.getCiphertext() + encrypted.getTag();
}

QByteArrayView tokenOf(QByteArrayView datagram)
{
    return datagram.first(std::min(datagram.size(), tokenSize));
}

Opened open(QByteArrayView datagram, ssl::AesGcm& cipher)
{
    constexpr qsizetype ivSize = ssl::AesGcm::ivSize;
    constexpr qsizetype tagSize = ssl::AesGcm::tagSize;
    if (datagram.size() < minSize)
        return { Opened::Result::tooShort, {} };
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(datagram.data());
    const std::span<const std::uint8_t> sealed(
        bytes + tokenSize + ivSize, std::size_t(datagram.size() - minSize));
    QByteArray plaintext(qsizetype(sealed.size()), Qt::Uninitialized);
    if (!cipher.decrypt(std::span<const std::uint8_t, ssl::AesGcm::ivSize>(bytes + tokenSize, ivSize),
            {}, sealed, reinterpret_cast<std::uint8_t*>(plaintext.data()),
            std::span<const std::uint8_t, ssl::AesGcm::tagSize>(
                bytes + datagram.size() - tagSize, tagSize)))
        return { Opened::Result::forged, {} };
    const QDateTime time
        = readWireTime(QJsonDocument::fromJson(plaintext).object().value(datetime).toString());
    if (!time.isValid())
        return { Opened::Result::noTime, {} };
    return { Opened::Result::opened, time };
}

} // namespace vesk::protocol::heartbeat
