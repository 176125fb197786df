#pragma once

// The service object: one Core makes up the running service. Construct it, call init() once and
// run the Qt event loop; everything after that is a handler of the Core reacting to a timer, the
// file-system watcher or an HTTP request.
//
//   QCoreApplication app(argc, argv);
//   vesk::Core core;
//   if (!core.init())
//       return 1;
//   return app.exec();

#include <QDir>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <mutex>
#include <optional>

namespace vesk {

class HttpRequest;
class HttpResponse;
class HttpServer;
class Stream;

namespace log {
class Logger;
}
namespace detail {
class PlayRecorder;
struct StatusRecords;
struct SwitchedDirectory;
} // namespace detail

class Core : public QObject
{
    Q_OBJECT

public:
    // The service's home is fixed; the configuration is "config.ini" beside the executable.
    Core();
    ~Core() override;

    // Creates the HTTP server and starts listening; only then the timers, the heartbeat socket,
    // the watcher and the stream engine. False (and nothing but the server created) when the
    // server cannot listen. Call once, on the thread that runs the event loop.
    bool init();

    // REST handlers, called on HTTP worker threads through rest<>().
    virtual HttpResponse connect(const HttpRequest& request, const QJsonDocument& document);
    virtual HttpResponse stream(const HttpRequest& request, const QJsonDocument& document);

    // The on-disk layout. Every path the Core uses comes from these; the two work-directory
    // functions read the link on disk, the others only the constant home and are safe from any
    // thread.
    virtual QString workPathA() const;
    virtual QString workPathB() const;
    virtual QString workPathClean() const;
    virtual QString workPathDirty() const;
    // Points the link at the other work directory in one rename, so that the link always exists
    // and names one of the two. Throws std::filesystem::filesystem_error on failure.
    virtual void swapWorkPaths() const;
    virtual QString homePath() const;
    virtual QString syncPath() const;
    virtual QString transactionFilePath(const QString& dir) const;
    virtual QString playlistFilePath(const QString& dir) const;
    virtual QString sshPath() const;
    virtual QString authorizedKeysPath() const;
    virtual QString serverAddressPath() const;
    virtual QString sharedKeyPath() const;
    virtual QString accessTokenPath() const;
    // "status.json": what the service is doing, for operators and the management server.
    virtual QString statusFilePath() const;
    // "plays": the ledger of plays (docs/plays.md), read out by vesk-plays.
    virtual QString playsPath() const;

    // Main-thread handlers, run through safe_wrap<>().
    virtual void onHeartbeat();
    virtual void onSync();
    virtual void onPlaylistChanged();
    // Rewrites the status file (and the Prometheus text file, when configured).
    virtual void onStatus();

protected:
    // For tests and embedders that move the service: home directory and configuration file.
    Core(const QString& home, const QString& configPath);

    // Runs a main-thread handler and logs, instead of passing on, whatever it throws.
    template <void (Core::*Handler)()> void safe_wrap();

    // The frame around a REST handler: media types, body, JSON, and the JSON "reason" answers.
    // May throw HttpError, which the server writes as a bare status line.
    template <HttpResponse (Core::*Handler)(const HttpRequest&, const QJsonDocument&)>
    HttpResponse rest(const HttpRequest& request);

    // Opens the ledger of plays and has the engine report to it; logs when it cannot.
    void openPlays(qint64 maxBytes);

    // After a pairing: watch the (now existing) sync directory and take what is already there.
    // Main thread only; the connect command queues it.
    void watchSyncDirectory();

    // At start, before the server listens: finishes or undoes a pairing that a crash
    // interrupted, and puts a key that an earlier version stored bare behind our forced command.
    // Failures are logged.
    void settlePairing();

    // The status file is rewritten soon; many changes in a short while make one write. Safe from
    // any thread.
    void statusChanged();
    // `stopped` is the moment of a clean stop, told as the file's last word.
    void writeStatus(const std::optional<QDateTime>& stopped);

    // Objects made by init(); the Core releases them when it is destroyed.
    QPointer<HttpServer> m_server;
    QPointer<QFileSystemWatcher> m_watcher;
    QPointer<QTimer> m_syncTimer;
    QPointer<QTimer> m_heartbeatTimer;
    QPointer<QUdpSocket> m_socket;
    QPointer<QTimer> m_playlistTimer;
    QPointer<QTimer> m_statusTimer;
    QPointer<QTimer> m_statusSoon;
    std::unique_ptr<detail::StatusRecords> m_status;
    // The directory the last synchronisation switched to, until the playlist application that it
    // queued takes it. Main thread only.
    std::unique_ptr<detail::SwitchedDirectory> m_switched;
    // The account of plays; the engine holds it too, and the last of the two to let it go records
    // the clean stop. Null when the ledger cannot be opened.
    std::shared_ptr<detail::PlayRecorder> m_plays;
    QSharedPointer<Stream> m_stream;
    // One pairing at a time; the heartbeat reads the pairing files under it, so that it sees one
    // pairing's files.
    std::mutex m_pairingLock;
    QDir m_home;
    log::Logger* m_logger;
    QString m_configPath;
};

} // namespace vesk
