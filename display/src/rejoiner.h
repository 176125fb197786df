// Internal to vesk-display, not API.
#pragma once

#include "registerclient.h"

#include <QHostAddress>
#include <QString>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

namespace vesk::display {

// Asks the register for access to its stream again, on a thread of its own, so that a register
// that is slow to answer never holds up the datagrams: a display does so now and then to keep its
// bound of the register's clock tight and its key chains current.
//
// Threads: everything but the asking is for the thread that made the object.
class Rejoiner
{
public:
    // The outcome of one request: the access, or why there is none.
    struct Answer
    {
        std::optional<StreamAccess> access;
        QString error;
    };

    Rejoiner(const QHostAddress& host, quint16 port, int timeoutMs);
    // Cancels a request under way and waits for it, a tenth of a second at most.
    ~Rejoiner();
    Rejoiner(const Rejoiner&) = delete;
    Rejoiner& operator=(const Rejoiner&) = delete;

    // Starts a request unless one is under way.
    void start();
    // True from start() until its answer has been taken.
    bool asking() const;
    // The answer of the last request once it is in, once.
    std::optional<Answer> take();

private:
    QHostAddress m_host;
    quint16 m_port;
    int m_timeoutMs;
    std::atomic<bool> m_cancel { false };
    std::thread m_thread;
    // Guards m_answer and m_done, which the asking thread sets.
    mutable std::mutex m_mutex;
    std::optional<Answer> m_answer;
    bool m_done = false;
};

} // namespace vesk::display
