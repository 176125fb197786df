// Internal to libvesk_stream, not API.
#pragma once

#include <QDateTime>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace vesk::detail {

// The player's sense of time: the steady clock that paces packets, the wall clock the schedule is
// written in, and the waiting in between. Passed in, so that tests play hours of schedule in
// virtual time.
class StreamClock
{
public:
    using Steady = std::chrono::steady_clock;

    virtual ~StreamClock() = default;

    virtual Steady::time_point now() const = 0;
    virtual QDateTime wallNow() const = 0;
    // Waits on `condition` under `lock` until `deadline` or until `woken` holds; returns woken().
    virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
        Steady::time_point deadline, const std::function<bool()>& woken)
        = 0;

    // The real clocks.
    static StreamClock& system();
};

} // namespace vesk::detail
