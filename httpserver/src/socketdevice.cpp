#include "socketdevice.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vesk::detail {

namespace {

// What one receive asks for: a whole small request, or a good part of a body.
constexpr std::size_t receiveChunk = 16 * 1024;

int milliseconds(const QDeadlineTimer& timer)
{
    const qint64 left = timer.remainingTime();
    return left < 0 ? -1 : int(std::min<qint64>(left, 1 << 30));
}

} // namespace

SocketDevice::SocketDevice(
    int descriptor, const HttpLimits& limits, QDeadlineTimer deadline, const QByteArray& received)
    : m_descriptor(descriptor)
    , m_limits(limits)
    , m_deadline(deadline)
    , m_buffer(received.cbegin(), received.cend())
    , m_end(std::size_t(received.size()))
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

SocketDevice::~SocketDevice()
{
    ::close(m_descriptor);
}

qint64 SocketDevice::bytesAvailable() const
{
    return unreadSize() + QIODevice::bytesAvailable();
}

bool SocketDevice::canReadLine() const
{
    return (unreadSize() > 0 && std::memchr(unread(), '\n', std::size_t(unreadSize())) != nullptr)
        || QIODevice::canReadLine();
}

bool SocketDevice::waitForReadyRead(int msecs)
{
    if (receive() > 0)
        return true;
    const QDeadlineTimer wait(msecs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(msecs));
    while (!m_atEnd && poll(POLLIN, wait)) {
        if (receive() > 0)
            return true;
    }
    return false;
}

void SocketDevice::finish()
{
    qint64 drained = unreadSize();
    m_begin = m_end = 0;
    if (drained == 0)
        drained = receive();
    if (drained == 0 || m_atEnd)
        return;
    // The response is complete: say so, then read until the peer closes its side.
    ::shutdown(m_descriptor, SHUT_WR);
    const QDeadlineTimer drain(m_limits.drainTimeout);
    while (!m_atEnd && drained < m_limits.maxDrainBytes && poll(POLLIN, drain)) {
        drained += receive();
        m_begin = m_end = 0;
    }
}

qint64 SocketDevice::readData(char* data, qint64 maxSize)
{
    if (unreadSize() == 0 && receive() == 0)
        return m_atEnd ? -1 : 0;
    const qint64 size = std::min(maxSize, unreadSize());
    std::memcpy(data, unread(), std::size_t(size));
    m_begin += std::size_t(size);
    return size;
}

qint64 SocketDevice::readLineData(char* data, qint64 maxSize)
{
    const qint64 available = std::min(maxSize, unreadSize());
    if (available <= 0)
        return 0;
    const void* lineEnd = std::memchr(unread(), '\n', std::size_t(available));
    const qint64 size = lineEnd ? static_cast<const char*>(lineEnd) - unread() + 1 : available;
    std::memcpy(data, unread(), std::size_t(size));
    m_begin += std::size_t(size);
    return size;
}

qint64 SocketDevice::writeData(const char* data, qint64 size)
{
    const QDeadlineTimer timeout(m_limits.writeTimeout);
    qint64 written = 0;
    while (written < size) {
        const ssize_t sent = ::send(
            m_descriptor, data + written, std::size_t(size - written), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            written += sent;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!poll(POLLOUT, timeout, false))
                break;
        } else if (errno != EINTR) {
            break;
        }
    }
    m_writeFailed = m_writeFailed || written < size;
    return written == 0 && size > 0 ? -1 : written;
}

qint64 SocketDevice::receive()
{
    if (m_atEnd)
        return 0;
    if (m_begin == m_end) {
        m_begin = m_end = 0;
    } else if (m_buffer.size() - m_end < receiveChunk && m_begin > 0) {
        std::memmove(m_buffer.data(), unread(), m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_buffer.size() - m_end < receiveChunk)
        m_buffer.resize(m_end + receiveChunk);
    for (;;) {
        const ssize_t received
            = ::recv(m_descriptor, m_buffer.data() + m_end, receiveChunk, MSG_DONTWAIT);
        if (received > 0) {
            m_end += std::size_t(received);
            return received;
        }
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        m_atEnd = true;
        return 0;
    }
}

bool SocketDevice::poll(short events, const QDeadlineTimer& wait, bool untilDeadline)
{
    for (;;) {
        if (untilDeadline && m_deadline.hasExpired()) {
            m_deadlineMissed = true;
            return false;
        }
        if (wait.hasExpired())
            return false;
        const QDeadlineTimer& first
            = untilDeadline && m_deadline.deadlineNSecs() < wait.deadlineNSecs() ? m_deadline
                                                                                 : wait;
        pollfd descriptor { m_descriptor, events, 0 };
        const int ready = ::poll(&descriptor, 1, milliseconds(first));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            m_atEnd = true;
            return false;
        }
    }
}

} // namespace vesk::detail
