#include "registerstate.h"

#include <vesk/file/fileoperations.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <stdexcept>

namespace vesk::manage {

namespace {

// A pairing is a few hundred bytes; a larger file is not ours.
constexpr qint64 maxStateFileBytes = 64 * 1024;

std::filesystem::path fsPath(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return std::filesystem::path(bytes.constData(), bytes.constData() + bytes.size());
}

QJsonObject toJson(const RegisterState& state)
{
    return QJsonObject {
        { "register", state.registerText() },
        { "token", state.token.toString(QUuid::WithoutBraces) },
        { "sharedKey", QString::fromLatin1(state.sharedKey.toBase64()) },
        { "catalog", state.catalog },
        { "sshKey", state.sshKey },
        { "heartbeat", state.heartbeat },
        { "paired", state.paired.toString(Qt::ISODateWithMs) },
        { "clockOffsetMs", state.clockOffsetMs },
    };
}

std::optional<RegisterState> fromJson(const QString& name, const QJsonObject& object)
{
    RegisterState state;
    state.name = name;
    const auto api = parseIpv4Port(object.value("register").toString());
    state.token = QUuid::fromString(object.value("token").toString());
    state.sharedKey = QByteArray::fromBase64(object.value("sharedKey").toString().toLatin1());
    state.catalog = object.value("catalog").toString();
    state.sshKey = object.value("sshKey").toString();
    state.heartbeat = object.value("heartbeat").toString();
    state.paired = QDateTime::fromString(object.value("paired").toString(), Qt::ISODateWithMs);
    state.clockOffsetMs = qint64(object.value("clockOffsetMs").toDouble());
    if (!api || state.token.isNull() || state.sharedKey.size() != 32 || state.catalog.isEmpty()
        || state.sshKey.isEmpty())
        return std::nullopt;
    std::tie(state.address, state.port) = *api;
    return state;
}

// The state directory also holds the plays' store and the configuration; no pairing may take
// or read their names.
bool reservedName(const QString& name)
{
    return name == u"vesk-manage.ini" || name.startsWith(QStringLiteral("plays.sqlite"));
}

} // namespace

QString RegisterState::registerText() const
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

StateStore::StateStore(QString directory)
    : m_directory(std::move(directory))
{
}

QString StateStore::defaultDirectory(const QProcessEnvironment& environment)
{
    const QString state = environment.value(QStringLiteral("XDG_STATE_HOME"));
    if (QDir::isAbsolutePath(state))
        return state + QStringLiteral("/vesk-manage");
    const QString home = environment.value(QStringLiteral("HOME"));
    if (QDir::isAbsolutePath(home))
        return home + QStringLiteral("/.local/state/vesk-manage");
    return {};
}

bool StateStore::validName(const QString& name)
{
    static const QRegularExpression rule(QStringLiteral("^[A-Za-z0-9_:@][A-Za-z0-9._:@-]{0,63}$"));
    return rule.match(name).hasMatch() && !reservedName(name);
}

void StateStore::prepare() const
{
    try {
        file::createDirectory(fsPath(m_directory), 0700);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot keep pairings: ") + e.what());
    }
}

void StateStore::save(const RegisterState& state) const
{
    if (!validName(state.name))
        throw std::runtime_error("not a usable name: " + state.name.toStdString());
    prepare();
    try {
        file::save2file(fsPath(m_directory + u'/' + state.name),
            QJsonDocument(toJson(state)).toJson(QJsonDocument::Indented), 0600);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot keep the pairing: ") + e.what());
    }
}

std::optional<RegisterState> StateStore::load(const QString& name, QString& error) const
{
    if (!validName(name)) {
        error = QStringLiteral("'%1' is not a register's name").arg(name);
        return std::nullopt;
    }
    QFile file(m_directory + u'/' + name);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.exists()
            ? QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString())
            : QStringLiteral("no register called '%1' has been paired (%2)").arg(name, m_directory);
        return std::nullopt;
    }
    const QByteArray content = file.read(maxStateFileBytes + 1);
    const QJsonDocument document = QJsonDocument::fromJson(content);
    std::optional<RegisterState> state;
    if (content.size() <= maxStateFileBytes && document.isObject())
        state = fromJson(name, document.object());
    if (!state)
        error = QStringLiteral("%1 is not a pairing of vesk-manage").arg(file.fileName());
    return state;
}

QList<RegisterState> StateStore::loadAll(QStringList& problems) const
{
    QList<RegisterState> states;
    const QDir directory(m_directory);
    for (const QString& name : directory.entryList(QDir::Files, QDir::Name)) {
        if (name.startsWith(u'.') || reservedName(name))
            continue; // a replacement being written or left by a crash; the store's files
        QString error;
        if (std::optional<RegisterState> state = load(name, error))
            states.append(std::move(*state));
        else
            problems.append(error);
    }
    return states;
}

std::optional<std::pair<QHostAddress, quint16>> parseIpv4Port(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    QHostAddress address;
    if (!ok || port == 0 || port > 65535 || !address.setAddress(text.left(colon))
        || address.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return std::pair { address, quint16(port) };
}

} // namespace vesk::manage
