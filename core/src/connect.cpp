#include <vesk/core.h>

#include "encryptedresponse.h"
#include "parsehostport.h"
#include "resterror.h"

#include <vesk/file/fileoperations.h>
#include <vesk/httpresponse.h>
#include <vesk/ssl/crypto.h>

#include <QDateTime>
#include <QJsonObject>
#include <QTimeZone>
#include <QUuid>

#include <filesystem>
#include <system_error>

namespace vesk {

namespace {

std::filesystem::path toPath(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return std::filesystem::path(std::string(bytes.constData(), std::size_t(bytes.size())));
}

[[noreturn]] void refuse(const QString& message)
{
    throw detail::RestError(400, message);
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
    if (!ok)
        refuse("cannot parse server address and port");

    const ssl::PublicKey serverPublicKey
        = ssl::PublicKey::fromDer(QByteArray::fromBase64(serverKey.toUtf8()));
    if (!serverPublicKey.isValid())
        refuse("cannot parse serverKey");

    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::SharedKey sharedKey = ssl::deriveKey(privateKey, serverPublicKey);

    file::createDirectory(toPath(sshPath()), 0700);
    file::createDirectory(toPath(syncPath()), 0755);
    file::createDirectory(toPath(workPathA()), 0755);
    file::createDirectory(toPath(workPathB()), 0755);
    // An existing link keeps its target: a register paired again goes on playing what it plays.
    std::error_code ignored;
    std::filesystem::create_symlink("work_dir_a", toPath(workPathClean()), ignored);

    file::save2file(toPath(authorizedKeysPath()), clientKey.toUtf8() + '\n', 0600);
    file::save2file(toPath(accessTokenPath()), token.toRfc4122(), 0644);
    file::save2file(toPath(serverAddressPath()), server.toUtf8(), 0644);
    // The key of every heartbeat: readable by the service only.
    file::save2file(toPath(sharedKeyPath()), sharedKey.getKey(), 0600);

    // The sync directory may have been created just now; the watcher only learns of it on the
    // main thread, which owns it.
    QMetaObject::invokeMethod(this, &Core::watchSyncDirectory, Qt::QueuedConnection);

    const QDateTime now = QDateTime::currentDateTime();
    const QJsonObject answer {
        { "catalog", syncPath() },
        { "datetime", now.toTimeZone(now.timeZone()).toString(Qt::ISODate) },
    };
    return detail::encryptedResponse(publicKey, sharedKey.bytes(),
        QJsonDocument(answer).toJson(QJsonDocument::Compact), "application/json");
}

} // namespace vesk
