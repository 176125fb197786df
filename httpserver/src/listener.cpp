#include "listener.h"

#include "logthrottle.h"

#include <vesk/log/level.h>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace vesk::detail {

namespace {

// Connections taken per wake-up before the stop request is looked at again.
constexpr int acceptBatch = 64;

int millisecondsUntil(
    std::optional<Listener::Clock::time_point> moment, Listener::Clock::time_point now)
{
    if (!moment)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*moment - now).count();
    return int(std::clamp<std::chrono::milliseconds::rep>(left, 0, 1 << 30));
}

} // namespace

Listener::Listener(int descriptor, int wake, const HttpLimits& limits, LogThrottle& connectionLog,
    LogThrottle& acceptLog, Accepted accepted)
    : m_descriptor(descriptor)
    , m_wake(wake)
    , m_limits(limits)
    , m_connectionLog(connectionLog)
    , m_acceptLog(acceptLog)
    , m_accepted(std::move(accepted))
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

void Listener::run()
{
    Clock::time_point resumeAt = Clock::now();
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool paused = now < resumeAt;
        std::optional<Clock::time_point> wakeAt = m_connectionLog.flush(now);
        if (const auto acceptSummary = m_acceptLog.flush(now))
            wakeAt = std::min(wakeAt.value_or(*acceptSummary), *acceptSummary);
        if (paused)
            wakeAt = std::min(wakeAt.value_or(resumeAt), resumeAt);

        // While paused the listening socket is left out: the connections wait in its backlog.
        pollfd descriptors[2]
            = { { m_wake, POLLIN, 0 }, { paused ? -1 : m_descriptor, POLLIN, 0 } };
        const int ready = ::poll(descriptors, 2, millisecondsUntil(wakeAt, now));
        if (ready < 0 && errno != EINTR) {
            m_acceptLog.log(log::Level::error, Clock::now(), "cannot wait for connections: %1",
                std::strerror(errno));
            resumeAt = Clock::now() + m_limits.acceptPause;
            continue;
        }
        if (descriptors[0].revents != 0)
            return;
        if (descriptors[1].revents != 0)
            resumeAt = acceptPending(Clock::now());
    }
}

Listener::Clock::time_point Listener::acceptPending(Clock::time_point now)
{
    for (int i = 0; i < acceptBatch; ++i) {
        sockaddr_in peer {};
        socklen_t peerSize = sizeof peer;
        const int descriptor = ::accept4(m_descriptor, reinterpret_cast<sockaddr*>(&peer),
            &peerSize, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            m_accepted(descriptor, peer, now);
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

} // namespace vesk::detail
