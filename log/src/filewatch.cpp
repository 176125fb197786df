#include "filewatch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vesk::log::detail {

namespace {

// Whatever makes the path stop naming the open file. IN_ATTRIB is how a removal shows while the
// file is still open (its link count drops); chmod and touch raise it too, which only costs the
// writer a look at the path.
constexpr std::uint32_t watchedEvents = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;

} // namespace

FileWatch::FileWatch()
    : m_inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_inotify < 0 || m_wake < 0)
        return;
    m_thread = std::thread([this] { run(); });
    ::pthread_setname_np(m_thread.native_handle(), "vesk-log-watch");
}

FileWatch::~FileWatch()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_wake >= 0)
        ::close(m_wake);
}

bool FileWatch::watch(const QByteArray& path)
{
    if (!available())
        return false;
    if (m_watch >= 0)
        ::inotify_rm_watch(m_inotify, m_watch);
    m_watch = ::inotify_add_watch(m_inotify, path.constData(), watchedEvents);
    return m_watch >= 0;
}

void FileWatch::run()
{
    alignas(inotify_event) char events[4096];
    for (;;) {
        pollfd descriptors[] = { { m_wake, POLLIN, 0 }, { m_inotify, POLLIN, 0 } };
        if (::poll(descriptors, 2, -1) < 0 && errno != EINTR)
            return;
        if (descriptors[0].revents != 0)
            return;
        for (;;) {
            const ssize_t size = ::read(m_inotify, events, sizeof events);
            if (size <= 0)
                break;
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                // Not filtered by watch: an event that comes before watch() has stored the new
                // one must not be lost. One of the file watched before (a rotation renames it)
                // costs the writer a needless look at the path.
                if ((event->mask & watchedEvents) != 0)
                    m_changed.store(true, std::memory_order_release);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }
}

} // namespace vesk::log::detail
