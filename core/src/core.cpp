#include <vesk/core.h>

#include "homedirectory.h"
#include "playrecorder.h"
#include "statusreport.h"

#include <vesk/coresettings.h>
#include <vesk/file/fileoperations.h>
#include <vesk/httpserver.h>
#include <vesk/log/manager.h>
#include <vesk/protocol/homelayout.h>
#include <vesk/stream.h>

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <functional>
#include <system_error>

namespace vesk {

namespace {

namespace home = protocol::home;

// The layout's names as the paths of the Core's path functions spell them.
QString entry(std::string_view name)
{
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

} // namespace

Core::Core()
    : Core(entry(home::homePath), QString())
{
}

Core::Core(const QString& home, const QString& configPath)
    : QObject(nullptr)
    , m_status(std::make_unique<detail::StatusRecords>())
    , m_stream(QSharedPointer<Stream>::create())
    , m_home(home)
    , m_logger(log::Manager::logger("vesk.core"))
    , m_configPath(configPath)
{
}

Core::~Core()
{
    // A service that ran says it has stopped, with the figures of its last moment; requests still
    // in flight may finish after this.
    if (m_statusTimer) {
        m_server->close();
        try {
            writeStatus(QDateTime::currentDateTime());
        } catch (...) {
        }
    }
    // The server before the rest: its destructor waits for requests in flight, whose handlers
    // still use this Core.
    delete m_server.data();
    delete m_statusTimer.data();
    delete m_statusSoon.data();
    delete m_watcher.data();
    delete m_syncTimer.data();
    delete m_heartbeatTimer.data();
    delete m_socket.data();
    delete m_playlistTimer.data();
}

bool Core::init()
{
    const QString configPath = m_configPath.isEmpty()
        ? QCoreApplication::applicationDirPath() + "/config.ini"
        : m_configPath;
    QSettings settings(configPath, QSettings::IniFormat);

    const CoreSettings config = CoreSettings::read(settings);

    m_server = new HttpServer();
    // Pairing replaces the key with which content is delivered: a shop that knows its management
    // server's address can keep everyone else from pairing.
    HttpServer::PeerFilter pairingFilter;
    if (config.pairingPeers) {
        m_logger->info(
            QStringLiteral("сопряжение разрешено только с адресов: %1"), config.connectFromText());
        pairingFilter = [ranges = *config.pairingPeers](const QHostAddress& peer) {
            return std::any_of(ranges.cbegin(), ranges.cend(),
                [&peer](const auto& range) { return peer.isInSubnet(range); });
        };
    }
    m_server->addRoute(QRegularExpression("POST /v1/command/connect"),
        std::bind_front(&Core::rest<&Core::connect>, this), std::move(pairingFilter));
    m_server->addRoute(QRegularExpression("POST /v1/stream/connect"),
        std::bind_front(&Core::rest<&Core::stream>, this));

    // The server logs why it cannot listen.
    if (!m_server->listen(config.listenAddress, config.listenPort))
        return false;
    // Only now: a second instance that cannot listen must leave the first one's pairing alone.
    // A pairing that arrives meanwhile waits for the lock.
    settlePairing();

    m_heartbeatTimer = new QTimer();
    m_heartbeatTimer->setInterval(60000);
    m_heartbeatTimer->start();
    QObject::connect(
        m_heartbeatTimer, &QTimer::timeout, this, &Core::safe_wrap<&Core::onHeartbeat>);
    QMetaObject::invokeMethod(this, &Core::safe_wrap<&Core::onHeartbeat>, Qt::QueuedConnection);

    m_socket = new QUdpSocket();
    m_socket->bind(quint16(0));

    // A path that does not exist is simply not watched.
    m_watcher = new QFileSystemWatcher();
    m_watcher->addPath(transactionFilePath(syncPath()));
    m_watcher->addPath(syncPath());
    QObject::connect(
        m_watcher, &QFileSystemWatcher::fileChanged, this, &Core::safe_wrap<&Core::onSync>);
    // A transaction file that is replaced or created anew drops out of the watch; the directory
    // change brings it back, and a file that was not watched before has news to look at.
    QObject::connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (m_watcher->addPath(transactionFilePath(syncPath())))
            safe_wrap<&Core::onSync>();
    });
    QMetaObject::invokeMethod(this, &Core::safe_wrap<&Core::onSync>, Qt::QueuedConnection);

    m_syncTimer = new QTimer();
    m_syncTimer->setInterval(config.syncRepeatSeconds * 1000);
    QObject::connect(m_syncTimer, &QTimer::timeout, this, &Core::safe_wrap<&Core::onSync>);

    m_playlistTimer = new QTimer();
    m_playlistTimer->setInterval(86400000);
    m_playlistTimer->start();
    QObject::connect(
        m_playlistTimer, &QTimer::timeout, this, &Core::safe_wrap<&Core::onPlaylistChanged>);
    QMetaObject::invokeMethod(
        this, &Core::safe_wrap<&Core::onPlaylistChanged>, Qt::QueuedConnection);

    m_status->started = QDateTime::currentDateTime();
    m_status->prometheusPath = config.prometheusFile;
    // At least once a minute, so that a reader can tell a service that stopped answering from
    // one that has nothing new to say; at once (coalesced) when something changes.
    m_statusTimer = new QTimer();
    m_statusTimer->setInterval(30000);
    m_statusTimer->start();
    QObject::connect(m_statusTimer, &QTimer::timeout, this, &Core::safe_wrap<&Core::onStatus>);
    m_statusSoon = new QTimer();
    m_statusSoon->setSingleShot(true);
    m_statusSoon->setInterval(250);
    QObject::connect(m_statusSoon, &QTimer::timeout, this, &Core::safe_wrap<&Core::onStatus>);

    openPlays(config.playsMaxBytes);
    m_stream->bindSocket(42, QHostAddress(QHostAddress::AnyIPv4), 0);
    if (config.sendAddress.isMulticast())
        m_stream->joinMulticastGroup(config.sendAddress);
    m_stream->connectToHost(config.sendAddress, config.sendPort);
    // Before init() returns: whoever sees the service started finds its status.
    safe_wrap<&Core::onStatus>();
    return true;
}

void Core::openPlays(qint64 maxBytes)
{
    // Without a ledger the service still plays: the records are what is lost, and said.
    try {
        file::createDirectory(detail::toPath(playsPath()), 0755);
        m_plays = std::make_shared<detail::PlayRecorder>(
            playsPath(), maxBytes, log::Manager::logger("vesk.plays"));
        m_stream->setPlayObserver(m_plays);
    } catch (const std::exception& e) {
        m_logger->error("plays: the ledger in %1 cannot be opened, plays are not recorded: %2",
            playsPath(), QString::fromUtf8(e.what()));
    }
}

void Core::watchSyncDirectory()
{
    if (!m_watcher)
        return;
    const QString sync = syncPath();
    const QString tf = transactionFilePath(sync);
    if (!m_watcher->directories().contains(sync))
        m_watcher->addPath(sync);
    if (!m_watcher->files().contains(tf))
        m_watcher->addPath(tf);
    safe_wrap<&Core::onSync>();
}

template <void (Core::*Handler)()> void Core::safe_wrap()
{
    try {
        (this->*Handler)();
    } catch (const std::exception& e) {
        m_logger->error("unhandled exception: %1", QString::fromUtf8(e.what()));
    } catch (...) {
        m_logger->error("unhandled exception: unknown");
    }
}

template void Core::safe_wrap<&Core::onHeartbeat>();
template void Core::safe_wrap<&Core::onSync>();
template void Core::safe_wrap<&Core::onPlaylistChanged>();
template void Core::safe_wrap<&Core::onStatus>();

QString Core::workPathA() const
{
    return m_home.absoluteFilePath(entry(home::workDirA));
}

QString Core::workPathB() const
{
    return m_home.absoluteFilePath(entry(home::workDirB));
}

QString Core::workPathClean() const
{
    return m_home.absoluteFilePath(entry(home::workDirLink));
}

QString Core::workPathDirty() const
{
    // The played directory is never the dirty one, however the link came to name it. Without a
    // link, or with one that names anything else, nothing is played and B is the dirty one.
    try {
        const detail::HomeDirectory home(*this);
        return home.dirtyPath(home.playedPath());
    } catch (const std::system_error&) {
        return workPathB();
    }
}

void Core::swapWorkPaths() const
{
    // The link goes to the directory that workPathDirty() names, the one just filled and
    // verified, also when there was no link or it named something else.
    detail::HomeDirectory(*this).switchLink(workPathDirty());
}

QString Core::homePath() const
{
    return m_home.absolutePath();
}

QString Core::playsPath() const
{
    return m_home.absoluteFilePath("plays");
}

QString Core::syncPath() const
{
    return m_home.absoluteFilePath(entry(home::syncDir));
}

QString Core::transactionFilePath(const QString& dir) const
{
    return dir + u'/' + entry(home::transactionFile);
}

QString Core::playlistFilePath(const QString& dir) const
{
    return dir + u'/' + entry(home::playlistFile);
}

QString Core::sshPath() const
{
    return m_home.absoluteFilePath(entry(home::sshDir));
}

QString Core::authorizedKeysPath() const
{
    return m_home.absoluteFilePath(entry(home::sshDir) + u'/' + entry(home::authorizedKeys));
}

QString Core::serverAddressPath() const
{
    return m_home.absoluteFilePath(entry(home::serverAddress));
}

QString Core::sharedKeyPath() const
{
    return m_home.absoluteFilePath(entry(home::sharedKey));
}

QString Core::accessTokenPath() const
{
    return m_home.absoluteFilePath(entry(home::accessToken));
}

} // namespace vesk
