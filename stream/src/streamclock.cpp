#include "streamclock.h"

namespace vesk::detail {

namespace {

class SystemClock : public StreamClock
{
public:
    Steady::time_point now() const override { return Steady::now(); }
    QDateTime wallNow() const override { return QDateTime::currentDateTime(); }
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
        Steady::time_point deadline, const std::function<bool()>& woken) override
    {
        return condition.wait_until(lock, deadline, woken);
    }
};

} // namespace

StreamClock& StreamClock::system()
{
    static SystemClock clock;
    return clock;
}

} // namespace vesk::detail
