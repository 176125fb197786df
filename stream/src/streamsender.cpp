#include "streamsender.h"

#include <vesk/log.h>

#include <poll.h>
#include <pthread.h>
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
    std::span<const unsigned char, 32> key, ssl::SigningKey signer, StreamSealer::Schedule schedule)
    : m_logger(logger)
    , m_streamId(streamId)
    , m_interval(schedule.interval)
    , m_origin(std::chrono::steady_clock::now())
    , m_sealer(streamId, key, std::move(signer), schedule)
{
}

StreamSender::~StreamSender()
{
    stopDisclosing();
}

std::chrono::milliseconds StreamSender::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_origin);
}

void StreamSender::setDescriptor(int descriptor)
{
    const std::lock_guard lock(m_sending);
    m_descriptor = descriptor;
    m_lastError = 0;
}

void StreamSender::startDisclosing()
{
    if (m_keys.joinable())
        return;
    {
        const std::lock_guard lock(m_disclosing);
        m_stop = false;
    }
    m_keys = std::thread([this] { disclose(); });
}

void StreamSender::stopDisclosing()
{
    {
        const std::lock_guard lock(m_disclosing);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_keys.joinable())
        m_keys.join();
}

StreamSealer::Joining StreamSender::joining()
{
    const std::lock_guard lock(m_sealing);
    return m_sealer.joining(now());
}

// At the start of every interval, however quiet the stream: a receiver checks a key by going
// down the chain to the newest one it holds, so a gap would make every key after it dearer.
void StreamSender::disclose()
{
    pthread_setname_np(pthread_self(), "vesk-stream-key");
    std::unique_lock lock(m_disclosing);
    while (!m_stop) {
        lock.unlock();
        const std::chrono::milliseconds at = now();
        QList<QByteArray> due;
        try {
            const std::lock_guard sealing(m_sealing);
            due = m_sealer.disclose(at);
        } catch (const std::exception& e) {
            // Tried again next interval; a key that goes out late is still safe.
            m_logger->error("stream %1: cannot disclose a key: %2", m_streamId, e.what());
        }
        if (!due.isEmpty())
            transmit(due);
        // A key is never sent early; waking a millisecond late costs nothing.
        const auto next = m_origin + (at / m_interval + 1) * m_interval;
        lock.lock();
        m_wake.wait_until(lock, next, [this] { return m_stop; });
    }
}

void StreamSender::send(const QByteArray& message)
{
    QList<QByteArray> datagrams;
    {
        const std::lock_guard lock(m_sealing);
        datagrams = m_sealer.seal(message, now());
    }
    if (datagrams.isEmpty()) {
        m_logger->warn(
            "stream %1: a message of %2 bytes is too large to send", m_streamId, message.size());
        return;
    }
    transmit(datagrams);
}

void StreamSender::transmit(const QList<QByteArray>& datagrams)
{
    const std::lock_guard lock(m_sending);
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
    const std::uint32_t id = m_streamId;
    if (error == 0 && m_lastError != ECONNREFUSED)
        m_logger->info("stream %1: sending again", id);
    else if (error == ECONNREFUSED)
        m_logger->debug("stream %1: nobody listens at the destination", id);
    else if (error != 0)
        m_logger->warn("stream %1: cannot send: %2", id, QString::fromUtf8(std::strerror(error)));
    m_lastError = error;
}

} // namespace vesk::detail
