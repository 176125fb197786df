#pragma once
// Internal header of libvesk_httpserver, not API.

#include "admission.h"

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
    // For head and body together, set once at the accept.
    Clock::time_point deadline;
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
    // All connections were taken and a newcomer needed the slot of this, the oldest head still
    // incomplete.
    evicted,
};

// Accepts connections and collects their heads, on a thread of its own, without ever blocking:
// whatever the thread that owns the server is busy with (a long synchronisation on the
// service's main thread) never holds up new connections, and a peer that is slow to send its
// head holds no worker, only a slot of the connection limits, until its wait or the deadline
// runs out. It owns the listening descriptor and the eventfd through which it is told to stop.
//
// Admission: a newcomer over its address's share is refused. A newcomer that finds every slot
// taken evicts the connection whose head has been incomplete the longest, if there is one, and
// takes its slot: peers that trickle their heads from many addresses cannot shut the others
// out, while a connection whose head is complete (a request in service) is never evicted.
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
        // A connection that admission refused; the callee owns the descriptor.
        std::function<void(int descriptor, quint32 peer, Admission::Verdict, Clock::time_point)>
            refused;
        // The wait for the head is over; the callee owns the connection from here on, and
        // releases its admission.
        std::function<void(PendingConnection&& connection, HeadEnd end)> headEnded;
    };

    Listener(int descriptor, int wake, const HttpLimits& limits, Admission& admission,
        LogThrottle& connectionLog, LogThrottle& acceptLog, Callbacks callbacks);
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
    // Admits the new connection, evicting the oldest incomplete head when all slots are taken;
    // false when it was refused.
    bool admit(int descriptor, quint32 peer, Clock::time_point now);
    // Reads what arrived; true when the wait for the head is over (and the connection handed on).
    bool receive(PendingConnection& connection, Clock::time_point now);
    // Hands connections whose waits ran out on; returns the earliest time one may run out.
    Clock::time_point expire(Clock::time_point now);

    const int m_descriptor;
    const int m_wake;
    const HttpLimits& m_limits;
    Admission& m_admission;
    LogThrottle& m_connectionLog;
    LogThrottle& m_acceptLog;
    const Callbacks m_callbacks;
    // In the order they were accepted.
    std::vector<PendingConnection> m_pending;
    std::thread m_thread;
};

} // namespace vesk::detail
