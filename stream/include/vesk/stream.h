#pragma once

#include <vesk/playlist/generator.h>

#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QUdpSocket>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vesk {

namespace log {
class Logger;
}
namespace detail {
class StreamPlayer;
}
class StreamSealer;

// The stream engine: sends the scheduled media to the displays over UDP. A thread of its own,
// started by connectToHost, asks the schedule which file plays, reads that file's packets without
// decoding them and sends them at the pace of their time stamps, packed into messages (Encoder)
// and sealed into datagrams (StreamSealer) under the stream key; docs/stream-protocol.md describes
// what goes over the wire. Failures of files and schedules are logged on "vesk.stream" and never
// stop the engine. The destructor stops and joins the thread.
//
// Threads: construction, setWorkDir, the socket calls, setGenerator and setPlaceholder belong to
// the thread that created the engine. The const queries may be called from any thread at the same
// time as those.
class Stream : public QObject
{
    Q_OBJECT

public:
    static constexpr std::size_t keySize = 32;

    // Draws the stream key and identifier from the system's cryptographic random source; they
    // stay the same for the life of the engine. Throws std::system_error when that source fails.
    explicit Stream(QObject* parent = nullptr);
    ~Stream() override;

    // The directory the media are read from, normally the path of a symbolic link, so that
    // switching the link changes the content without a new call.
    void setWorkDir(const QString& path);
    // Binds the UDP socket to `address` and `port` (0: any free port) and sets `multicastTtl` as
    // the time-to-live of outgoing multicast datagrams. The engine's thread stops until the next
    // connectToHost. Returns false, and logs, when binding
    // fails; a refused time-to-live is logged only.
    bool bindSocket(unsigned int multicastTtl, const QHostAddress& address, quint16 port);
    // Joins the multicast group on the bound socket. Returns false, and logs, when the socket is
    // not bound or the system refuses.
    bool joinMulticastGroup(const QHostAddress& group);
    // Makes `address`:`port` the destination of the stream and (re)starts the engine's thread.
    // peerAddress and peerPort give these values from now on, whether or not the socket could be
    // connected.
    void connectToHost(const QHostAddress& address, quint16 port);
    // Replaces the schedule at once; the engine keeps its own reference. When the new schedule
    // plays the same slot as the old one right now, playback goes on without a break. A null
    // pointer means nothing is scheduled.
    void setGenerator(QSharedPointer<Generator> generator);
    // Replaces the URL shown when nothing is scheduled; may be empty.
    void setPlaceholder(const QString& placeholder);

    // Thread-safe queries.
    void getKey(std::span<unsigned char, keySize> key) const;
    std::uint32_t streamId() const;
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    QSharedPointer<Generator> generator() const;
    QString placeholder() const;
    QString workDir() const;
    // Where the socket is bound; null address and port 0 before a successful bindSocket.
    QHostAddress localAddress() const;
    quint16 localPort() const;

    // Datagrams sent and dropped (the socket refused them) since construction.
    quint64 sentDatagrams() const;
    quint64 droppedDatagrams() const;

private:
    bool openSocket(const QHostAddress& address, quint16 port);
    void updateLocalAddress();
    // Runs on the engine's thread.
    void send(const QByteArray& message);

    log::Logger* m_logger;
    // Written once by the constructor, read without the lock.
    std::array<unsigned char, keySize> m_key {};
    std::uint32_t m_streamId = 0;

    // Owned by the creating thread, like the socket calls.
    QUdpSocket m_socket;
    QHostAddress m_bindAddress;
    std::optional<unsigned int> m_multicastTtl;
    QList<QHostAddress> m_groups;

    mutable QMutex m_mutex;
    // Guarded by m_mutex.
    QSharedPointer<Generator> m_generator;
    QString m_placeholder;
    QString m_workDir;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QHostAddress m_localAddress;
    quint16 m_localPort = 0;

    // Used by the engine's thread only, while it runs; the creating thread stops the engine
    // before it touches the socket.
    std::unique_ptr<StreamSealer> m_sealer;
    int m_sendDescriptor = -1;
    std::atomic<quint64> m_sent { 0 };
    std::atomic<quint64> m_dropped { 0 };
    int m_lastSendError = 0;
    // Declared last: destroyed (stopped and joined) first.
    std::unique_ptr<detail::StreamPlayer> m_player;
};

} // namespace vesk
