#include <vesk/core.h>

#include "authorizedkey.h"
#include "encryptedresponse.h"
#include "homedirectory.h"
#include "pairingstore.h"
#include "parsehostport.h"
#include "resterror.h"

#include <vesk/file/fileoperations.h>
#include <vesk/httpresponse.h>
#include <vesk/log.h>
#include <vesk/protocol/api.h>
#include <vesk/protocol/timetext.h>
#include <vesk/ssl/crypto.h>

#include <QDateTime>
#include <QFileInfo>
#include <QJsonObject>
#include <QTimeZone>
#include <QUuid>

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

namespace vesk {

namespace api = protocol::api::connect;

namespace {

[[noreturn]] void refuse(const QString& message)
{
    throw detail::RestError(400, message);
}

// Creates `path` below the home, or sets `mode` on it when it exists; a link or anything but a
// directory there is refused, never followed.
void createDirectory(const detail::HomeDirectory& home, const QString& path, unsigned int mode)
{
    const auto [parent, name] = home.parentOf(path);
    file::createDirectory(parent.get(), name, mode);
}

// The layout that a pairing needs, made from the home's own descriptor: a link planted at
// `.ssh` or a work directory makes the command fail, and nothing outside the home is changed
// through it. Then the pairing files, as one.
void writePairing(const Core& core, const detail::PairingFiles& files)
{
    // Normally there already (the package creates it); made here for a service started by hand,
    // with a mode of its own, not whatever the umask leaves: others must reach the played files.
    const std::filesystem::path homePath = detail::toPath(core.homePath());
    if (!std::filesystem::is_directory(homePath))
        file::createDirectory(homePath, 0755);
    const detail::HomeDirectory home(core);
    createDirectory(home, core.sshPath(), 0700);
    createDirectory(home, core.syncPath(), 0755);
    createDirectory(home, core.workPathA(), 0755);
    createDirectory(home, core.workPathB(), 0755);
    // An existing link keeps its target: a register paired again goes on playing what it plays.
    const auto [parent, link] = home.parentOf(core.workPathClean());
    [[maybe_unused]] const int exists = ::symlinkat("work_dir_a", parent.get(), link.c_str());

    detail::storePairing(core, home, files);
}

enum class StoredKey {
    absent,
    restricted,
    rewritten,
    unknown, // not one key as we or an earlier version wrote it
};

// A key stored by an earlier version is bare; a key stored before the program moved names the
// old program. Either is rewritten behind the restriction of today, the key itself unchanged.
StoredKey restrictStoredKey(const Core& core, const detail::HomeDirectory& home)
{
    QByteArray content;
    try {
        content = home.readFile(core.authorizedKeysPath(), 64 * 1024);
    } catch (const std::system_error&) {
        // Missing, or nothing we could have written there: as if absent.
        return StoredKey::absent;
    }
    if (content.isEmpty())
        return StoredKey::absent;
    const QByteArray line = content.endsWith('\n') ? content.chopped(1) : content;
    const std::optional<QString> key = line.contains('\n') ? std::nullopt : detail::keyOfLine(line);
    const QByteArray restricted
        = key ? detail::restrictedKeyLine(detail::sshGatePath(), *key) : QByteArray();
    if (restricted.isEmpty())
        return StoredKey::unknown;
    if (restricted == content)
        return StoredKey::restricted;
    const auto [parent, name] = home.parentOf(core.authorizedKeysPath());
    file::save2file(parent.get(), name, restricted, 0600);
    return StoredKey::rewritten;
}

// A pairing request whose every member was checked.
struct PairingRequest
{
    QUuid token;
    ssl::PublicKey serverKey;
    QString clientKey;
    QString server;
};

// Everything is checked before anything is written: a refused command changes nothing.
PairingRequest validated(const QJsonObject& body)
{
    const QString type = body.value(api::type).toString();
    if (type != api::fileRsync)
        refuse(QString("unknown type \"%1\" for command \"connect\"").arg(type));

    const QString keyToken = body.value(api::keyToken).toString();
    if (keyToken.isEmpty())
        refuse("keyToken must not be empty");
    const QUuid token = QUuid::fromString(keyToken);
    if (token.isNull())
        refuse("cannot parse keyToken");

    const QString serverKey = body.value(api::serverKey).toString();
    if (serverKey.isEmpty())
        refuse("serverKey must not be empty");

    const QString clientKey = body.value(api::clientKey).toString();
    if (clientKey.isEmpty())
        refuse("clientKey must not be empty");
    // Far beyond the largest key ssh-keygen makes with its comment; the stored line must stay
    // readable at the next start.
    constexpr qsizetype longestClientKey = 16 * 1024;
    if (clientKey.size() > longestClientKey)
        refuse("clientKey is too long");

    const QString server = body.value(api::server).toString();
    if (server.isEmpty())
        refuse("server must not be empty");
    bool ok = false;
    detail::parseHostPort(server, &ok);
    // Stored as sent, so nothing may come along after a valid address (a line feed and more).
    if (!ok || detail::hasControlCharacter(server))
        refuse("cannot parse server address and port");
    // Written into authorized_keys as it stands: it must be one key and nothing else. A public
    // key file as read ends in a line end, which is no part of the key.
    const QString key = detail::withoutLineEnd(clientKey);
    if (!detail::isAuthorizedKey(key))
        refuse("cannot parse clientKey");

    ssl::PublicKey serverPublicKey
        = ssl::PublicKey::fromDer(QByteArray::fromBase64(serverKey.toUtf8()));
    if (!serverPublicKey.isValid())
        refuse("cannot parse serverKey");
    return { token, std::move(serverPublicKey), key, server };
}

} // namespace

void Core::settlePairing()
{
    const std::lock_guard pairing(m_pairingLock);
    StoredKey stored = StoredKey::absent;
    try {
        if (!QFileInfo(homePath()).isDir())
            return;
        const detail::HomeDirectory home(*this);
        const detail::PairingRecovery recovery = detail::recoverPairing(*this, home);
        if (recovery == detail::PairingRecovery::finished)
            m_logger->info(QStringLiteral("Прерванное сопряжение завершено"));
        else if (recovery == detail::PairingRecovery::undone)
            m_logger->info(QStringLiteral("Незавершенное сопряжение отменено, действует прежнее"));
        stored = restrictStoredKey(*this, home);
    } catch (const std::exception& e) {
        m_logger->error(
            QStringLiteral("сопряжение не восстановлено: %1"), QString::fromUtf8(e.what()));
        return;
    }
    const QString gate = detail::sshGatePath();
    if (stored == StoredKey::rewritten)
        m_logger->info(
            QStringLiteral(
                "Ключ управляющего сервера ограничен: ему доступна только доставка через %1"),
            gate);
    else if (stored == StoredKey::unknown)
        m_logger->warn(
            QStringLiteral("%1 не содержит один ключ управляющего сервера - оставлен как есть"),
            authorizedKeysPath());
    if (stored != StoredKey::absent && !QFileInfo(gate).isExecutable())
        m_logger->error(
            QStringLiteral("программа %1 не найдена - доставка по ssh невозможна"), gate);
}

HttpResponse Core::connect(const HttpRequest&, const QJsonDocument& document)
{
    const PairingRequest request = validated(document.object());
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::SharedKey sharedKey = ssl::deriveKey(privateKey, request.serverKey);

    // The key may deliver into the sync directory and read what plays, nothing else: it runs
    // only our forced command, whatever the host's sshd allows.
    const QByteArray keyLine = detail::restrictedKeyLine(detail::sshGatePath(), request.clientKey);
    if (keyLine.isEmpty())
        throw detail::RestError(500,
            QStringLiteral("the program's directory cannot be named in authorized_keys: ")
                + detail::sshGatePath());
    {
        const std::lock_guard pairing(m_pairingLock);
        writePairing(*this,
            { keyLine, request.token.toRfc4122(), request.server.toUtf8(), sharedKey.getKey() });
    }

    // The sync directory may have been created just now; the watcher only learns of it on the
    // main thread, which owns it.
    QMetaObject::invokeMethod(this, &Core::watchSyncDirectory, Qt::QueuedConnection);
    statusChanged();

    const QDateTime now = QDateTime::currentDateTime();
    const QJsonObject answer {
        { api::catalog, syncPath() },
        { api::datetime, protocol::wireTimeSeconds(now) },
    };
    return detail::encryptedResponse(publicKey, sharedKey.bytes(),
        QJsonDocument(answer).toJson(QJsonDocument::Compact), "application/json");
}

} // namespace vesk
