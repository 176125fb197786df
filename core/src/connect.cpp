#include <vesk/core.h>

#include "authorizedkey.h"
#include "encryptedresponse.h"
#include "homedirectory.h"
#include "parsehostport.h"
#include "resterror.h"

#include <vesk/file/fileoperations.h>
#include <vesk/httpresponse.h>
#include <vesk/ssl/crypto.h>

#include <QDateTime>
#include <QJsonObject>
#include <QTimeZone>
#include <QUuid>

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace vesk {

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

void save(const detail::HomeDirectory& home, const QString& path, const QByteArray& bytes,
    unsigned int mode)
{
    const auto [parent, name] = home.parentOf(path);
    file::save2file(parent.get(), name, bytes, mode);
}

// Everything is written from the home's own descriptor: a link planted at `.ssh` or a work
// directory makes the command fail, and nothing outside the home is changed through it.
void writePairing(const Core& core, const QString& clientKey, const QUuid& token,
    const QString& server, const QByteArray& sharedKey)
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

    save(home, core.authorizedKeysPath(), clientKey.toUtf8() + '\n', 0600);
    save(home, core.accessTokenPath(), token.toRfc4122(), 0644);
    save(home, core.serverAddressPath(), server.toUtf8(), 0644);
    // The key of every heartbeat: readable by the service only.
    save(home, core.sharedKeyPath(), sharedKey, 0600);
}

} // namespace

HttpResponse Core::connect(const HttpRequest&, const QJsonDocument& document)
{
    const QJsonObject body = document.object();

    // Everything is checked before anything is written: a refused command changes nothing.
    const QString type = body.value("type").toString();
    if (type != "file-rsync")
        refuse(QString("unknown type \"%1\" for command \"connect\"").arg(type));

    const QString keyToken = body.value("keyToken").toString();
    if (keyToken.isEmpty())
        refuse("keyToken must not be empty");
    const QUuid token = QUuid::fromString(keyToken);
    if (token.isNull())
        refuse("cannot parse keyToken");

    const QString serverKey = body.value("serverKey").toString();
    if (serverKey.isEmpty())
        refuse("serverKey must not be empty");

    const QString clientKey = body.value("clientKey").toString();
    if (clientKey.isEmpty())
        refuse("clientKey must not be empty");

    const QString server = body.value("server").toString();
    if (server.isEmpty())
        refuse("server must not be empty");
    bool ok = false;
    detail::parseHostPort(server, &ok);
    // Stored as sent, so nothing may come along after a valid address (a line feed and more).
    if (!ok || detail::hasControlCharacter(server))
        refuse("cannot parse server address and port");
    // Written into authorized_keys as it stands: it must be one key and nothing else.
    if (!detail::isAuthorizedKey(clientKey))
        refuse("cannot parse clientKey");

    const ssl::PublicKey serverPublicKey
        = ssl::PublicKey::fromDer(QByteArray::fromBase64(serverKey.toUtf8()));
    if (!serverPublicKey.isValid())
        refuse("cannot parse serverKey");

    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::SharedKey sharedKey = ssl::deriveKey(privateKey, serverPublicKey);

    writePairing(*this, clientKey, token, server, sharedKey.getKey());

    // The sync directory may have been created just now; the watcher only learns of it on the
    // main thread, which owns it.
    QMetaObject::invokeMethod(this, &Core::watchSyncDirectory, Qt::QueuedConnection);
    statusChanged();

    const QDateTime now = QDateTime::currentDateTime();
    const QJsonObject answer {
        { "catalog", syncPath() },
        { "datetime", now.toTimeZone(now.timeZone()).toString(Qt::ISODate) },
    };
    return detail::encryptedResponse(publicKey, sharedKey.bytes(),
        QJsonDocument(answer).toJson(QJsonDocument::Compact), "application/json");
}

} // namespace vesk
