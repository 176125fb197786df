#pragma once
// Internal header of libvesk_httpserver, not API.

#include <vesk/httplimits.h>

#include <QByteArray>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace vesk::detail {

class LogThrottle;

// A connection from its accept until its head is in: what arrived so far, and when.
struct PendingConnection
{
    using Clock = std::chrono::steady_clock;

    int descriptor = -1;
    // IPv4, host byte order.
    quint32 peer = 0;
    Clock::time_point acceptedAt;
    Clock::time_point lastArrival;
    QByteArray received;
    // Where the scan for the head's end goes on, and where the line being scanned began.
    qsizetype scanned = 0;
    qsizetype lineStart = 0;
};

// How the wait for a head ended.
enum class HeadEnd {
    // The empty line that ends a head arrived (the head may still be malformed).
    complete,
    // A line, or the head, is longer than the limits allow.
    tooLarge,
    // The peer closed the connection or it failed, before the head was complete.
    peerGone,
    // Nothing arrived for HttpLimits::readWait.
    silent,
    // HttpLimits::deadline passed.
    deadlineMissed,
    // The listener stops.
    stopped,
};

// Accepts connections and collects their heads, on a thread of its own, without ever blocking:
// whatever the thread that owns the server is busy with (a long synchronisation on the
// service's main thread) never holds up new connections, and a peer that is slow to send its
// head holds no worker, only a slot of the connection limits, until its wait or the deadline
// runs out. It owns the listening descriptor and the eventfd through which it is told to stop.
//
// When the process is out of descriptors, accept() would fail again at once for as long as the
// peers keep knocking: the listener then stops accepting for HttpLimits::acceptPause and logs
// the failure at most once a window. It also writes the summaries of throttled log lines.
class Listener
{
public:
    using Clock = std::chrono::steady_clock;

    struct Callbacks
    {
        // Called for every accepted connection (the callee owns the descriptor); false when it
        // was refused, and is closed already.
        std::function<bool(int descriptor, quint32 peer, Clock::time_point now)> accepted;
        // The wait for the head is over; the callee owns the connection from here on.
        std::function<void(PendingConnection&& connection, HeadEnd end)> headEnded;
    };

    Listener(int descriptor, int wake, const HttpLimits& limits, LogThrottle& connectionLog,
        LogThrottle& acceptLog, Callbacks callbacks);
    // Stops the thread (the connections still waiting for their heads end as stopped), then
    // closes the listening descriptor and the eventfd.
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Where a head stands after more bytes arrived; incomplete is neither complete nor too large.
    //   "GET / HTTP/1.1\r\n\r\n"                 -> complete
    //   "GET / HTTP/1.1\r\nHost: x"              -> incomplete
    //   "\r\n"                                   -> complete (an empty request line ends it)
    //   a line longer than maxLineBytes          -> tooLarge, as soon as it is that long
    //   maxHeadBytes without the empty line      -> tooLarge
    enum class Scan { incomplete, complete, tooLarge };
    static Scan scan(PendingConnection& connection, const HttpLimits& limits);

private:
    void run();
    // Takes what is pending; returns when accepting may go on, later than now after a failure.
    Clock::time_point acceptPending(Clock::time_point now);
    // Reads what arrived; true when the wait for the head is over (and the connection handed on).
    bool receive(PendingConnection& connection, Clock::time_point now);
    // Hands connections whose waits ran out on; returns the earliest time one may run out.
    Clock::time_point expire(Clock::time_point now);

    const int m_descriptor;
    const int m_wake;
    const HttpLimits& m_limits;
    LogThrottle& m_connectionLog;
    LogThrottle& m_acceptLog;
    const Callbacks m_callbacks;
    std::vector<PendingConnection> m_pending;
    std::thread m_thread;
};

} // namespace vesk::detail
