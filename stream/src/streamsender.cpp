#include "streamsender.h"

#include <vesk/log.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vesk::detail {

namespace {

// Datagrams handed to the kernel in one call; a key frame is a few dozen.
constexpr qsizetype batchSize = 64;
constexpr int attemptsPerDatagram = 3;

} // namespace

StreamSender::StreamSender(log::Logger* logger, std::uint32_t streamId,
    std::span<const unsigned char, 32> key, ssl::SigningKey signer)
    : m_logger(logger)
    , m_sealer(streamId, key, std::move(signer))
    , m_origin(std::chrono::steady_clock::now())
{
}

std::chrono::milliseconds StreamSender::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_origin);
}

void StreamSender::setDescriptor(int descriptor)
{
    m_descriptor = descriptor;
    m_lastError = 0;
}

void StreamSender::send(const QByteArray& message)
{
    const QList<QByteArray> datagrams = m_sealer.seal(message, now());
    if (datagrams.isEmpty()) {
        m_logger->warn("stream %1: a message of %2 bytes is too large to send", m_sealer.streamId(),
            message.size());
        return;
    }
    if (m_descriptor < 0) {
        m_dropped += quint64(datagrams.size());
        report(ENOTCONN);
        return;
    }
    qsizetype next = 0;
    int attempts = 0;
    while (next < datagrams.size()) {
        const long sent = sendBatch(datagrams, next);
        if (sent > 0) {
            for (qsizetype i = next; i < next + sent; ++i)
                m_sentBytes += quint64(datagrams[i].size());
            m_sent += quint64(sent);
            next += sent;
            attempts = 0;
            report(0);
            continue;
        }
        const int error = int(-sent);
        // A refusal reported for an earlier datagram (no listener on a unicast destination) is
        // consumed by the send that reports it; the datagram itself is worth a second try, and so
        // is one that met a full socket buffer after a short wait.
        if (++attempts < attemptsPerDatagram) {
            if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
                pollfd writable { m_descriptor, POLLOUT, 0 };
                ::poll(&writable, 1, 100);
                continue;
            }
            if (error == ECONNREFUSED || error == EINTR)
                continue;
        }
        ++m_dropped;
        report(error);
        ++next;
        attempts = 0;
    }
}

long StreamSender::sendBatch(const QList<QByteArray>& datagrams, qsizetype first)
{
    const qsizetype count = std::min(batchSize, datagrams.size() - first);
    mmsghdr headers[batchSize] {};
    iovec pieces[batchSize];
    for (qsizetype i = 0; i < count; ++i) {
        const QByteArray& datagram = datagrams[first + i];
        pieces[i] = { const_cast<char*>(datagram.constData()), std::size_t(datagram.size()) };
        headers[i].msg_hdr.msg_iov = &pieces[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(m_descriptor, headers, unsigned(count), MSG_NOSIGNAL);
    if (sent > 0)
        return sent;
    return sent == 0 ? -EAGAIN : -errno;
}

// Once per kind of failure, not once per datagram. A unicast destination where no display listens
// yet is normal, not a fault.
void StreamSender::report(int error)
{
    if (error == m_lastError)
        return;
    const std::uint32_t id = m_sealer.streamId();
    if (error == 0 && m_lastError != ECONNREFUSED)
        m_logger->info("stream %1: sending again", id);
    else if (error == ECONNREFUSED)
        m_logger->debug("stream %1: nobody listens at the destination", id);
    else if (error != 0)
        m_logger->warn("stream %1: cannot send: %2", id, QString::fromUtf8(std::strerror(error)));
    m_lastError = error;
}

} // namespace vesk::detail
