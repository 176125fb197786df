#pragma once

#include <mutex>
#include <utility>

namespace vesk::log {

// An object together with the mutex that guards it; the object is reachable only while the
// mutex is held. Mutex is anything with lock() and unlock() (QMutex, QRecursiveMutex, std::mutex).
template <typename T, typename Mutex> class Locker
{
public:
    template <typename... Args>
    explicit Locker(Args&&... args)
        : m_object(std::forward<Args>(args)...)
    {
    }

    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

    // Calls f(object) with the mutex held (waiting without a time limit) and returns its result.
    template <typename F> decltype(auto) with(F&& f)
    {
        std::lock_guard<Mutex> lock(m_mutex);
        return std::forward<F>(f)(m_object);
    }

private:
    Mutex m_mutex;
    T m_object;
};

} // namespace vesk::log
