#pragma once
// Internal header of libvesk_httpserver, not API.

#include <vesk/httplimits.h>

#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <thread>

namespace vesk::detail {

class LogThrottle;

// Accepts connections on a listening descriptor, on a thread of its own, so that whatever the
// thread that owns the server is busy with (a long synchronisation on the service's main thread)
// never holds up new connections. It owns the listening descriptor and an eventfd through which
// it is told to stop, and closes both when destroyed.
//
// When the process is out of descriptors, accept() would fail again at once for as long as the
// peers keep knocking: the listener then stops accepting for HttpLimits::acceptPause and logs
// the failure at most once a second. It also writes the summaries of the throttled log lines
// while the server is quiet.
class Listener
{
public:
    using Clock = std::chrono::steady_clock;
    // Called on the listener's thread for every accepted connection, which it then owns.
    using Accepted
        = std::function<void(int descriptor, const sockaddr_in& peer, Clock::time_point)>;

    Listener(int descriptor, int wake, const HttpLimits& limits, LogThrottle& connectionLog,
        LogThrottle& acceptLog, Accepted accepted);
    // Stops the thread and closes the listening descriptor; a callback in progress finishes first.
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

private:
    void run();
    // Takes what is pending; returns when accepting may go on, which is later than now after a
    // failure.
    Clock::time_point acceptPending(Clock::time_point now);

    const int m_descriptor;
    const int m_wake;
    const HttpLimits& m_limits;
    LogThrottle& m_connectionLog;
    LogThrottle& m_acceptLog;
    const Accepted m_accepted;
    std::thread m_thread;
};

} // namespace vesk::detail
