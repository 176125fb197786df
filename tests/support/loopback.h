#pragma once

// Test support, not API: free ports, and blocking loopback clients run off the main thread
// while its event loop keeps turning (as a server accepts on it).

#include <QByteArray>
#include <QHostAddress>

#include <chrono>
#include <functional>

namespace vesk::test {

using namespace std::chrono_literals;

// A port that was free a moment ago on 127.0.0.1.
quint16 freePort();

// Runs work on a thread of its own while this thread's event loop keeps turning, as the server
// accepts on it. False when work did not finish within the time-out (the thread is still joined).
bool runOffThread(const std::function<void()>& work, std::chrono::milliseconds timeout = 20s);

struct Reply
{
    bool connected = false;
    // Everything the server sent until it closed the connection or the time-out passed.
    QByteArray data;
    // The server closed the connection within the time-out.
    bool closed = false;
    // From the end of the connect to the close (or the time-out).
    std::chrono::milliseconds elapsed { 0 };
};

// Blocking. Connects to 127.0.0.1:port from the address `from` (any of 127.0.0.0/8), sends
// request and reads until the server closes the connection.
Reply exchange(quint16 port, const QByteArray& request, std::chrono::milliseconds timeout = 5s,
    const QHostAddress& from = QHostAddress::LocalHost);

// exchange() run off the main thread.
Reply roundTrip(quint16 port, const QByteArray& request, std::chrono::milliseconds timeout = 5s);

} // namespace vesk::test
