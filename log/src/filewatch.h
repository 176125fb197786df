// Private to libvesk_log, not API: tells the file appender that its file was removed, renamed
// or replaced, without a system call on the path of a line.
#pragma once

#include <QByteArray>

#include <atomic>
#include <thread>

namespace vesk::log::detail {

// An inotify watch on one file, read by a thread of its own that blocks until something happens
// to the file: its link count changes (removed, or replaced by a rename over it), it is renamed
// away or it is gone. The writer only reads a flag. The news comes a thread switch after the
// change; whoever must see a change at once looks at the path itself.
//
// Without inotify (no kernel support, or the process or user is out of instances or watches)
// available() is false and changed() never says anything.
class FileWatch
{
public:
    FileWatch();
    // Stops and joins the thread.
    ~FileWatch();

    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    bool available() const { return m_thread.joinable(); }
    // Watches the file at path from now on instead of the one before; false when it cannot.
    // Called by the writer right after it opened the path.
    bool watch(const QByteArray& path);
    // Whether the watched file changed since the last call. Safe from any thread.
    bool takeChanged()
    {
        return m_changed.load(std::memory_order_relaxed)
            && m_changed.exchange(false, std::memory_order_acquire);
    }

private:
    void run();

    int m_inotify = -1;
    int m_wake = -1;
    int m_watch = -1; // the writer's alone
    std::atomic<bool> m_changed { false };
    std::thread m_thread;
};

} // namespace vesk::log::detail
