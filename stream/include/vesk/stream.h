#pragma once

#include <vesk/file/descriptor.h>
#include <vesk/playlist/generator.h>

#include <vesk/ssl/signingkey.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamsealer.h>

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QUdpSocket>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vesk {

class StreamPlayObserver;

namespace log {
class Logger;
}
namespace detail {
class StreamPlayer;
class StreamSender;
} // namespace detail

// The stream engine: sends the scheduled media to the displays over UDP. A thread of its own,
// started by connectToHost, asks the schedule which file plays, reads the packets of that file's
// picture and sound without decoding them and sends them at the pace of their time stamps, each
// track in messages of its own (Encoder) sealed into datagrams (StreamSealer) under the stream
// key, one manifest per message MACed under a key of a key chain that a second thread discloses
// interval by interval, each chain's anchor signed with the engine's signing key;
// docs/stream-protocol.md describes what goes over the wire. Failures of files and schedules are
// logged on "vesk.stream" and never stop the engine. The destructor stops and joins the threads.
//
// Threads: construction, the socket calls and setProgramme belong to the thread that created the
// engine. The queries may be called from any thread at the same time as those; they return
// copies, never anything the engine's threads go on changing.
class Stream : public QObject
{
    Q_OBJECT

public:
    static constexpr std::size_t keySize = 32;
    static constexpr std::size_t signerKeySize = ssl::SigningKey::publicKeySize;
    // The version of what goes over the wire (docs/stream-protocol.md).
    static constexpr int protocolVersion = StreamDatagram::version;

    // What the engine plays, as a copy for other threads.
    struct Programme
    {
        // The name of the directory the schedule's file names are read from.
        QString directory;
        // Shown when nothing is scheduled or a file cannot be played; may be empty.
        QString placeholder;
        // Section names of the schedule's playlists, in schedule order.
        QStringList playlists;
        // How many programmes were set: tells a new programme from an equal one. 0 before the
        // first.
        quint64 serial = 0;
    };

    // What the engine sends now, as the schedule answered it: the slot's playlist and file
    // (section names), the url and the span. `placeholder` when the placeholder stands in, for an
    // idle span or a file that cannot be played; then playlist and file may be empty.
    struct Playing
    {
        QString playlist;
        QString file;
        QString url;
        QDateTime start;
        QDateTime end;
        bool placeholder = false;
    };

    // Draws the stream key, the identifier and the signing key from the system's cryptographic
    // random source; they stay the same for the life of the engine. Throws std::system_error or
    // ssl::Error when that source fails.
    explicit Stream(QObject* parent = nullptr);
    ~Stream() override;

    // Binds the UDP socket to `address` and `port` (0: any free port) and sets `multicastTtl` as
    // the time-to-live of outgoing multicast datagrams. The engine's thread stops until the next
    // connectToHost. Returns false, and logs, when binding fails; a refused time-to-live is logged
    // only.
    bool bindSocket(unsigned int multicastTtl, const QHostAddress& address, quint16 port);
    // Joins the multicast group on the bound socket. Returns false, and logs, when the socket is
    // not bound or the system refuses.
    bool joinMulticastGroup(const QHostAddress& group);
    // Makes `address`:`port` the destination of the stream and (re)starts the engine's thread.
    // peerAddress and peerPort give these values from now on, whether or not the socket could be
    // connected.
    void connectToHost(const QHostAddress& address, quint16 port);
    // Replaces what is played, all at once: the directory the schedule's file names are read
    // from, the schedule and the placeholder (a file of that directory, played without sound;
    // may be empty). The engine keeps `directory` (the caller passes a descriptor of its own,
    // for a real directory, not a link that may be switched later) and opens media only below
    // it, without following links; `directoryName` is for the queries and the log. The engine
    // keeps the only reference to the generator. When the new programme plays the same file of
    // the same directory in the same slot right now, playback goes on without a break;
    // otherwise the new one starts at once, and nothing of the old one is sent after this
    // returns. A null generator means nothing is scheduled.
    void setProgramme(file::Descriptor directory, const QString& directoryName,
        QSharedPointer<Generator> generator, const QString& placeholder);

    // Tells `observer` of every slot played from now on (vesk/streamplay.h), on the engine's
    // thread. Call before connectToHost.
    void setPlayObserver(std::shared_ptr<StreamPlayObserver> observer);

    // Thread-safe queries.
    void getKey(std::span<unsigned char, keySize> key) const;
    // The raw Ed25519 public key that checks the signature of every anchor.
    std::array<std::uint8_t, signerKeySize> signerKey() const;
    // The stream clock, in which every manifest states when it was sent: steady milliseconds
    // since the engine was made.
    std::chrono::milliseconds streamTime() const;
    // The stream clock now, and the anchors and newest key a display joining now needs.
    StreamSealer::Joining joining() const;
    std::uint32_t streamId() const;
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    Programme programme() const;
    // Nothing while no schedule is set or the engine is stopped.
    std::optional<Playing> playing() const;
    // Where the socket is bound; null address and port 0 before a successful bindSocket.
    QHostAddress localAddress() const;
    quint16 localPort() const;

    // Datagrams sent and dropped (the socket refused them) since construction.
    quint64 sentDatagrams() const;
    quint64 droppedDatagrams() const;
    // The bytes of the datagrams sent.
    quint64 sentBytes() const;

private:
    bool openSocket(const QHostAddress& address, quint16 port);
    void updateLocalAddress();

    log::Logger* m_logger;
    // Written once by the constructor, read without the lock.
    std::array<unsigned char, keySize> m_key {};
    std::uint32_t m_streamId = 0;
    std::array<std::uint8_t, signerKeySize> m_signerKey {};

    // Owned by the creating thread, like the socket calls.
    QUdpSocket m_socket;
    QHostAddress m_bindAddress;
    std::optional<unsigned int> m_multicastTtl;
    QList<QHostAddress> m_groups;

    mutable QMutex m_mutex;
    // Guarded by m_mutex.
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QHostAddress m_localAddress;
    quint16 m_localPort = 0;

    // Owned by the player, which sends through it on the engine's thread; its descriptor is set
    // only while the engine is stopped.
    detail::StreamSender* m_sender = nullptr;
    // Declared last: destroyed (stopped and joined) first.
    std::unique_ptr<detail::StreamPlayer> m_player;
};

} // namespace vesk
