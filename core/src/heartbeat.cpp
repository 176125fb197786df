#include <vesk/core.h>

#include "homedirectory.h"
#include "parsehostport.h"
#include "statusreport.h"

#include <vesk/log.h>
#include <vesk/protocol/heartbeat.h>
#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>
#include <vesk/ssl/sharedkey.h>

#include <QDateTime>
#include <QUuid>

#include <mutex>
#include <optional>
#include <system_error>

namespace vesk {

// Reads the pairing files on every beat, so a new pairing counts from the next beat on. The
// datagram is protocol::heartbeat's. The status file learns whether the
// beat went out, or why not.
void Core::onHeartbeat()
{
    m_logger->debug(QStringLiteral("Отправка состояния кассы"));
    const QDateTime now = QDateTime::currentDateTime();
    const auto skip = [&](const QString& line, const char* reason) {
        m_logger->debug(line);
        m_status->heartbeat = detail::HeartbeatRecord { now, QString::fromLatin1(reason) };
        statusChanged();
    };
    if (!m_socket) {
        skip(QStringLiteral(" сокет не настроен - пропуск"), "no socket");
        return;
    }

    std::optional<detail::HomeDirectory> home;
    try {
        home.emplace(*this);
    } catch (const std::system_error&) {
        skip(QStringLiteral("  адрес не настроен - пропуск"), "not paired: no home directory");
        return;
    }
    // A pairing file that cannot be read counts as none: the beat says which one is missing.
    const auto pairingFile = [&home](const QString& path) {
        try {
            return home->readFile(path, 4096);
        } catch (const std::system_error&) {
            return QByteArray();
        }
    };
    // The three files of one pairing, never two pairings' files mixed.
    // A pairing under way holds the lock through a dozen flushes; this runs on the thread that
    // answers the timers and the status, so the beat waits for the next period instead.
    QByteArray addressText, token, keyBytes;
    {
        const std::unique_lock pairing(m_pairingLock, std::try_to_lock);
        if (!pairing.owns_lock()) {
            skip(QStringLiteral("  идет сопряжение - пропуск"), "pairing under way");
            return;
        }
        addressText = pairingFile(serverAddressPath());
        token = pairingFile(accessTokenPath());
        keyBytes = pairingFile(sharedKeyPath());
    }
    bool ok = false;
    const auto [address, port] = detail::parseHostPort(QString::fromUtf8(addressText), &ok);
    if (!ok) {
        skip(QStringLiteral("  адрес не настроен - пропуск"), "not paired: no server address");
        return;
    }

    if (token.size() != protocol::heartbeat::tokenSize || QUuid::fromRfc4122(token).isNull()) {
        skip(QStringLiteral("  токен не настроен - пропуск"), "not paired: no token");
        return;
    }

    ssl::SharedKey key;
    if (!key.trySetKey(keyBytes)) {
        skip(QStringLiteral("  общий ключ не сгенерирован - пропуск"), "not paired: no shared key");
        return;
    }

    QByteArray datagram;
    try {
        datagram = protocol::heartbeat::seal(token, key.bytes(), now);
    } catch (const ssl::Error& error) {
        m_logger->error(QString::fromUtf8(error.what()));
        m_status->heartbeat = detail::HeartbeatRecord { now, QStringLiteral("encryption failed") };
        statusChanged();
        return;
    }
    const bool sent = m_socket->writeDatagram(datagram, address, port) == datagram.size();
    m_status->heartbeat = detail::HeartbeatRecord { now,
        sent ? QStringLiteral("sent") : QStringLiteral("not sent: ") + m_socket->errorString() };
    statusChanged();
    m_logger->debug(QStringLiteral("  готово"));
}

} // namespace vesk
