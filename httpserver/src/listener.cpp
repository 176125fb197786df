#include "listener.h"

#include "addresstext.h"
#include "logthrottle.h"

#include <vesk/log/level.h>

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vesk::detail {

namespace {

// Connections taken per wake-up before the others are looked at again.
constexpr int acceptBatch = 64;
// What one receive asks for: a whole small request.
constexpr qsizetype receiveChunk = 16 * 1024;

int millisecondsUntil(Listener::Clock::time_point moment, Listener::Clock::time_point now)
{
    if (moment == Listener::Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - now).count();
    return int(std::clamp<std::chrono::milliseconds::rep>(left, 0, 1 << 30));
}

} // namespace

Listener::Listener(int descriptor, int wake, const HttpLimits& limits, Admission& admission,
    LogThrottle& connectionLog, LogThrottle& acceptLog, Callbacks callbacks)
    : m_descriptor(descriptor)
    , m_wake(wake)
    , m_limits(limits)
    , m_admission(admission)
    , m_connectionLog(connectionLog)
    , m_acceptLog(acceptLog)
    , m_callbacks(std::move(callbacks))
    , m_thread([this] { run(); })
{
    ::pthread_setname_np(m_thread.native_handle(), "vesk-http-accept");
}

Listener::~Listener()
{
    // Adding 1 to an eventfd cannot fail short of its counter's 2^64 - 2.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
    m_thread.join();
    ::close(m_wake);
    ::close(m_descriptor);
}

Listener::Scan Listener::scan(PendingConnection& connection, const HttpLimits& limits)
{
    const char* data = connection.received.constData();
    const qsizetype size = connection.received.size();
    while (connection.scanned < size) {
        const void* found
            = std::memchr(data + connection.scanned, '\n', std::size_t(size - connection.scanned));
        if (!found) {
            connection.scanned = size;
            break;
        }
        const qsizetype end = static_cast<const char*>(found) - data + 1;
        const qsizetype length = end - connection.lineStart;
        if (length > limits.maxLineBytes)
            return Scan::tooLarge;
        if (length == 1 || (length == 2 && data[connection.lineStart] == '\r'))
            return Scan::complete;
        connection.lineStart = connection.scanned = end;
    }
    if (size - connection.lineStart >= limits.maxLineBytes || size > limits.maxHeadBytes)
        return Scan::tooLarge;
    return Scan::incomplete;
}

void Listener::run()
{
    Clock::time_point resumeAt = Clock::now();
    std::vector<pollfd> descriptors;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool paused = now < resumeAt;
        Clock::time_point wakeAt = expire(now);
        for (LogThrottle* throttle : { &m_connectionLog, &m_acceptLog }) {
            if (const auto summaryDue = throttle->flush(now))
                wakeAt = std::min(wakeAt, *summaryDue);
        }
        if (paused)
            wakeAt = std::min(wakeAt, resumeAt);

        // While paused the listening socket is left out: new connections wait in its backlog.
        descriptors.assign({ { m_wake, POLLIN, 0 }, { paused ? -1 : m_descriptor, POLLIN, 0 } });
        for (const PendingConnection& connection : m_pending)
            descriptors.push_back({ connection.descriptor, POLLIN, 0 });
        const int ready
            = ::poll(descriptors.data(), descriptors.size(), millisecondsUntil(wakeAt, now));
        if (ready < 0 && errno != EINTR) {
            m_acceptLog.log(log::Level::error, Clock::now(), "cannot wait for connections: %1",
                std::strerror(errno));
            resumeAt = Clock::now() + m_limits.acceptPause;
            continue;
        }
        if (descriptors[0].revents != 0)
            break;

        const Clock::time_point woken = Clock::now();
        // Back to front, so that handing a connection on (and out of the list) keeps the
        // indices of those still to look at.
        for (std::size_t i = descriptors.size(); i-- > 2;) {
            if (descriptors[i].revents != 0 && receive(m_pending[i - 2], woken))
                m_pending.erase(m_pending.begin() + qsizetype(i - 2));
        }
        if (descriptors[1].revents != 0)
            resumeAt = acceptPending(woken);
    }

    for (PendingConnection& connection : m_pending)
        m_callbacks.headEnded(std::move(connection), HeadEnd::stopped);
    m_pending.clear();
}

Listener::Clock::time_point Listener::acceptPending(Clock::time_point now)
{
    for (int i = 0; i < acceptBatch; ++i) {
        sockaddr_in peer {};
        socklen_t peerSize = sizeof peer;
        const int descriptor = ::accept4(m_descriptor, reinterpret_cast<sockaddr*>(&peer),
            &peerSize, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            const quint32 address = ntohl(peer.sin_addr.s_addr);
            if (!admit(descriptor, address, now))
                continue;
            PendingConnection connection;
            connection.descriptor = descriptor;
            connection.peer = address;
            connection.deadline = now + m_limits.deadline;
            connection.lastArrival = now;
            // The request often arrives with the connection: no need to wait for it then.
            if (!receive(connection, now))
                m_pending.push_back(std::move(connection));
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return now;
        // The peer gave up before it was taken, or a signal came in between.
        case ECONNABORTED:
        case EPROTO:
        case EINTR:
            continue;
        default:
            // Out of descriptors or memory (or something stranger): trying again at once would
            // only fail again, at full speed.
            m_acceptLog.log(
                log::Level::error, now, "cannot accept new connection: %1", std::strerror(errno));
            return now + m_limits.acceptPause;
        }
    }
    return now;
}

bool Listener::admit(int descriptor, quint32 peer, Clock::time_point now)
{
    Admission::Verdict verdict = m_admission.admit(peer);
    if (verdict == Admission::Verdict::tooMany && !m_pending.empty()) {
        // The oldest is first: connections are appended as they are accepted.
        m_callbacks.headEnded(std::move(m_pending.front()), HeadEnd::evicted);
        m_pending.erase(m_pending.begin());
        verdict = m_admission.admit(peer);
    }
    if (verdict != Admission::Verdict::admitted) {
        m_callbacks.refused(descriptor, peer, verdict, now);
        return false;
    }
    if (m_connectionLog.enabled(log::Level::info))
        m_connectionLog.log(log::Level::info, now,
            "starting thread for accepted connection %1 from %2 ...", descriptor,
            AddressText(peer).text);
    return true;
}

bool Listener::receive(PendingConnection& connection, Clock::time_point now)
{
    for (;;) {
        const qsizetype size = connection.received.size();
        connection.received.resize(size + receiveChunk);
        const ssize_t received = ::recv(connection.descriptor, connection.received.data() + size,
            std::size_t(receiveChunk), MSG_DONTWAIT);
        connection.received.resize(size + std::max<qsizetype>(received, 0));
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (received <= 0) {
            const bool complete = scan(connection, m_limits) == Scan::complete;
            m_callbacks.headEnded(
                std::move(connection), complete ? HeadEnd::complete : HeadEnd::peerGone);
            return true;
        }
        connection.lastArrival = now;
        switch (scan(connection, m_limits)) {
        case Scan::complete:
            m_callbacks.headEnded(std::move(connection), HeadEnd::complete);
            return true;
        case Scan::tooLarge:
            m_callbacks.headEnded(std::move(connection), HeadEnd::tooLarge);
            return true;
        case Scan::incomplete:
            break;
        }
    }
}

Listener::Clock::time_point Listener::expire(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const Clock::time_point silence = it->lastArrival + m_limits.readWait;
        if (now >= it->deadline || now >= silence) {
            m_callbacks.headEnded(
                std::move(*it), now >= it->deadline ? HeadEnd::deadlineMissed : HeadEnd::silent);
            it = m_pending.erase(it);
            continue;
        }
        next = std::min({ next, it->deadline, silence });
        ++it;
    }
    return next;
}

} // namespace vesk::detail
