#include <vesk/log.h>
#include <vesk/stream.h>
#include <vesk/streamdatagram.h>

#include "streamplayer.h"
#include "streamsender.h"

#include <QMutexLocker>
#include <QVariant>

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace vesk {

namespace {

// Straight from the kernel's generator, which blocks only until it is seeded at boot. No
// fallback: a key anybody could guess is worse than not starting.
void fillRandom(void* buffer, std::size_t size)
{
    auto* cursor = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::getrandom(cursor, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        cursor += got;
        size -= std::size_t(got);
    }
}

} // namespace

Stream::Stream(QObject* parent)
    : QObject(parent)
    , m_logger(log::Manager::logger("vesk.stream"))
{
    fillRandom(m_key.data(), m_key.size());
    // Zero is kept free so that a display can use it for "no stream".
    do {
        fillRandom(&m_streamId, sizeof m_streamId);
    } while (m_streamId == 0);
    const ssl::SigningKey signer = ssl::SigningKey::generate();
    m_signerKey = signer.publicKey();
    auto sender = std::make_unique<detail::StreamSender>(m_logger, m_streamId, m_key, signer);
    m_sender = sender.get();
    m_player = std::make_unique<detail::StreamPlayer>(m_logger, std::move(sender));
    m_logger->debug("stream %1 created", m_streamId);
}

Stream::~Stream()
{
    // The threads use the socket: they go first.
    m_player->stop();
    m_sender->stopDisclosing();
}

bool Stream::bindSocket(unsigned int multicastTtl, const QHostAddress& address, quint16 port)
{
    // A new socket leaves the engine without a destination until the next connectToHost.
    m_player->stop();
    m_sender->stopDisclosing();
    m_sender->setDescriptor(-1);
    m_multicastTtl = multicastTtl;
    m_groups.clear();
    return openSocket(address, port);
}

bool Stream::openSocket(const QHostAddress& address, quint16 port)
{
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    if (!m_socket.bind(address, port)) {
        m_logger->error("stream %1: cannot bind %2:%3: %4", m_streamId, address.toString(), port,
            m_socket.errorString());
        updateLocalAddress();
        return false;
    }
    m_bindAddress = address;
    if (m_multicastTtl) {
        m_socket.setSocketOption(QAbstractSocket::MulticastTtlOption, *m_multicastTtl);
        if (m_socket.socketOption(QAbstractSocket::MulticastTtlOption).toUInt() != *m_multicastTtl)
            m_logger->warn(
                "stream %1: multicast time-to-live %2 refused", m_streamId, *m_multicastTtl);
    }
    for (const QHostAddress& group : std::as_const(m_groups)) {
        if (!m_socket.joinMulticastGroup(group))
            m_logger->error("stream %1: cannot join %2: %3", m_streamId, group.toString(),
                m_socket.errorString());
    }
    updateLocalAddress();
    return true;
}

void Stream::updateLocalAddress()
{
    const bool open = m_socket.state() != QAbstractSocket::UnconnectedState;
    const QMutexLocker lock(&m_mutex);
    m_localAddress = open ? m_socket.localAddress() : QHostAddress();
    m_localPort = open ? m_socket.localPort() : 0;
}

bool Stream::joinMulticastGroup(const QHostAddress& group)
{
    if (m_socket.state() != QAbstractSocket::BoundState
        && m_socket.state() != QAbstractSocket::ConnectedState) {
        m_logger->error(
            "stream %1: cannot join %2: the socket is not bound", m_streamId, group.toString());
        return false;
    }
    if (!m_socket.joinMulticastGroup(group)) {
        m_logger->error(
            "stream %1: cannot join %2: %3", m_streamId, group.toString(), m_socket.errorString());
        return false;
    }
    m_groups.append(group);
    return true;
}

void Stream::setPlayObserver(std::shared_ptr<StreamPlayObserver> observer)
{
    // The engine's thread reads it without a lock.
    const bool running = m_player->running();
    m_player->stop();
    m_player->setObserver(std::move(observer));
    if (running)
        m_player->start();
}

void Stream::connectToHost(const QHostAddress& address, quint16 port)
{
    m_player->stop();
    m_sender->stopDisclosing();
    {
        const QMutexLocker lock(&m_mutex);
        m_peerAddress = address;
        m_peerPort = port;
    }
    // Qt connects a socket only once; a new destination needs a fresh socket on the same local
    // port, with the same options and groups.
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        openSocket(m_bindAddress, m_socket.localPort());
    m_socket.connectToHost(address, port);
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        m_logger->error("stream %1: cannot connect to %2:%3: %4", m_streamId, address.toString(),
            port, m_socket.errorString());
    else
        m_logger->info("stream %1 sends to %2:%3", m_streamId, address.toString(), port);
    updateLocalAddress();
    m_sender->setDescriptor(m_socket.state() == QAbstractSocket::ConnectedState
            ? int(m_socket.socketDescriptor())
            : -1);
    m_sender->startDisclosing();
    m_player->start();
}

quint64 Stream::sentDatagrams() const
{
    return m_sender->sentDatagrams();
}

quint64 Stream::droppedDatagrams() const
{
    return m_sender->droppedDatagrams();
}

quint64 Stream::sentBytes() const
{
    return m_sender->sentBytes();
}

std::chrono::milliseconds Stream::streamTime() const
{
    return m_sender->now();
}

StreamSealer::Joining Stream::joining() const
{
    return m_sender->joining();
}

void Stream::setProgramme(file::Descriptor directory, const QString& directoryName,
    QSharedPointer<Generator> generator, const QString& placeholder)
{
    m_player->setProgramme(std::move(directory), directoryName, std::move(generator), placeholder);
}

Stream::Programme Stream::programme() const
{
    return m_player->programme();
}

std::optional<Stream::Playing> Stream::playing() const
{
    return m_player->playing();
}

void Stream::getKey(std::span<unsigned char, keySize> key) const
{
    std::memcpy(key.data(), m_key.data(), keySize);
}

std::array<std::uint8_t, Stream::signerKeySize> Stream::signerKey() const
{
    return m_signerKey;
}

std::uint32_t Stream::streamId() const
{
    return m_streamId;
}

QHostAddress Stream::peerAddress() const
{
    const QMutexLocker lock(&m_mutex);
    return m_peerAddress;
}

quint16 Stream::peerPort() const
{
    const QMutexLocker lock(&m_mutex);
    return m_peerPort;
}

QHostAddress Stream::localAddress() const
{
    const QMutexLocker lock(&m_mutex);
    return m_localAddress;
}

quint16 Stream::localPort() const
{
    const QMutexLocker lock(&m_mutex);
    return m_localPort;
}

} // namespace vesk
