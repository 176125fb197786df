#include <vesk/log.h>
#include <vesk/stream.h>
#include <vesk/streamsealer.h>

#include "streamplayer.h"

#include <QMutexLocker>
#include <QVariant>

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

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
    m_sealer = std::make_unique<StreamSealer>(m_streamId, m_key, signer);
    m_player = std::make_unique<detail::StreamPlayer>(
        m_logger, [this](const QByteArray& message) { send(message); });
    m_logger->debug("stream %1 created", m_streamId);
}

Stream::~Stream()
{
    // The thread uses the socket and the sealer: it goes first.
    m_player->stop();
}

bool Stream::bindSocket(unsigned int multicastTtl, const QHostAddress& address, quint16 port)
{
    // A new socket leaves the engine without a destination until the next connectToHost.
    m_player->stop();
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

void Stream::connectToHost(const QHostAddress& address, quint16 port)
{
    m_player->stop();
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
    m_sendDescriptor = m_socket.state() == QAbstractSocket::ConnectedState
        ? int(m_socket.socketDescriptor())
        : -1;
    m_lastSendError = 0;
    m_player->start();
}

void Stream::send(const QByteArray& message)
{
    const QList<QByteArray> datagrams = m_sealer->seal(message);
    if (datagrams.isEmpty()) {
        m_logger->warn(
            "stream %1: a message of %2 bytes is too large to send", m_streamId, message.size());
        return;
    }
    for (const QByteArray& datagram : datagrams) {
        int error = m_sendDescriptor < 0 ? ENOTCONN : 0;
        // A refusal reported for an earlier datagram (no listener on a unicast destination) is
        // consumed by the send that reports it; the datagram itself is worth a second try, and so
        // is one that met a full socket buffer after a short wait.
        for (int attempt = 0; error != ENOTCONN && attempt < 3; ++attempt) {
            if (::send(m_sendDescriptor, datagram.constData(), std::size_t(datagram.size()),
                    MSG_NOSIGNAL)
                >= 0) {
                error = 0;
                break;
            }
            error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
                pollfd writable { m_sendDescriptor, POLLOUT, 0 };
                ::poll(&writable, 1, 100);
            } else if (error != ECONNREFUSED && error != EINTR) {
                break;
            }
        }
        if (error == 0) {
            ++m_sent;
            m_sentBytes += quint64(datagram.size());
            if (m_lastSendError != 0 && m_lastSendError != ECONNREFUSED)
                m_logger->info("stream %1: sending again", m_streamId);
            m_lastSendError = 0;
            continue;
        }
        ++m_dropped;
        // Once per kind of failure, not once per datagram. A unicast destination where no
        // display listens yet is normal, not a fault.
        if (error != m_lastSendError) {
            if (error == ECONNREFUSED)
                m_logger->debug("stream %1: nobody listens at the destination", m_streamId);
            else
                m_logger->warn("stream %1: cannot send: %2", m_streamId,
                    QString::fromUtf8(std::strerror(error)));
        }
        m_lastSendError = error;
    }
}

quint64 Stream::sentDatagrams() const
{
    return m_sent;
}

quint64 Stream::droppedDatagrams() const
{
    return m_dropped;
}

quint64 Stream::sentBytes() const
{
    return m_sentBytes;
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
