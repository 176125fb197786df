#include <vesk/core.h>

#include "parsehostport.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>
#include <vesk/ssl/sharedkey.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QUuid>

#include <filesystem>

namespace vesk {

namespace {

QByteArray readPairingFile(const QString& path)
{
    return file::readFile(std::filesystem::path(path.toUtf8().toStdString()), true);
}

} // namespace

// Reads the pairing files on every beat, so a new pairing counts from the next beat on. The
// datagram is token ‖ IV ‖ ciphertext ‖ tag with the utility library's fixed IV and tag lengths;
// the clear token tells the server which key to decrypt with.
void Core::onHeartbeat()
{
    m_logger->debug(QStringLiteral("Отправка состояния кассы"));
    if (!m_socket) {
        m_logger->debug(QStringLiteral(" сокет не настроен - пропуск"));
        return;
    }

    bool ok = false;
    const auto [address, port]
        = detail::parseHostPort(QString::fromUtf8(readPairingFile(serverAddressPath())), &ok);
    if (!ok) {
        m_logger->debug(QStringLiteral("  адрес не настроен - пропуск"));
        return;
    }

    const QByteArray token = readPairingFile(accessTokenPath());
    if (token.size() != 16 || QUuid::fromRfc4122(token).isNull()) {
        m_logger->debug(QStringLiteral("  токен не настроен - пропуск"));
        return;
    }

    const QDateTime now = QDateTime::currentDateTime();
    const QJsonObject state {
        { QStringLiteral("datetime"), now.toTimeZone(now.timeZone()).toString(Qt::ISODateWithMs) },
    };

    ssl::SharedKey key;
    if (!key.trySetKey(readPairingFile(sharedKeyPath()))) {
        m_logger->debug(QStringLiteral("  общий ключ не сгенерирован - пропуск"));
        return;
    }

    QByteArray datagram = token;
    try {
        const ssl::EncryptedDataGcm encrypted
            = ssl::encryptWithGcm(key.bytes(), QJsonDocument(state).toJson(QJsonDocument::Compact));
        datagram += encrypted.getIv();
        datagram += encrypted.getCiphertext();
        datagram += encrypted.getTag();
    } catch (const ssl::Error& error) {
        m_logger->error(QString::fromUtf8(error.what()));
        return;
    }
    m_socket->writeDatagram(datagram, address, port);
    m_logger->debug(QStringLiteral("  готово"));
}

} // namespace vesk
