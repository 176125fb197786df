#pragma once

#include <unistd.h>

#include <utility>

namespace vesk::file {

// Owns one file descriptor and closes it when destroyed. Movable, not copyable.
class Descriptor
{
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept
        : m_fd(fd)
    {
    }
    Descriptor(Descriptor&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const noexcept { return m_fd; }
    bool isOpen() const noexcept { return m_fd >= 0; }
    // Hands the descriptor on; this object no longer closes it.
    int release() noexcept { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) noexcept
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Closes now and returns what close() did, so that a failing close (the last chance for some
    // file systems to report a write error) is seen.
    int close() noexcept { return ::close(std::exchange(m_fd, -1)); }

private:
    int m_fd = -1;
};

} // namespace vesk::file
