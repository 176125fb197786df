// Private to libvesk_log, not API: tells the file appender, on its own thread and with one cheap
// system call, whether its path may have stopped naming the file it has open.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <cstdint>
#include <vector>

struct inotify_event;

namespace vesk::log::detail {

// Which file a path names (with an empty path and AT_EMPTY_PATH: which file a descriptor holds),
// its type and its size; false with errno set when there is none. Asks for no time stamps: where
// the kernel keeps fine-grained ones (Linux 6.13 and later), a look at them obliges it to stamp
// the file's next change afresh, which costs the write after every look an update of the inode.
bool identify(int directory, const char* path, int flags, struct statx& file);
quint64 deviceOf(const struct statx& file);

// inotify watches on an open log file, the directory that holds it and every directory above it
// up to "/", read on the writer's own thread. The kernel queues an event inside the system call
// that removes or renames, before that call returns, so whatever was done to the path before a
// line is seen by that line: no thread, no lag. Before a line one epoll_wait(2) of no time tells
// whether anything came; only then is the queue read and each event matched against the path.
// An event that touches nothing of the path (another file made in the directory, say) costs that
// read and nothing more.
//
// What no watch tells of, the path is looked at for before every line instead: a relative path
// (the working directory may change), a path through a symbolic link (the link may be pointed
// elsewhere), a file system where changes can come from elsewhere than this kernel (a network
// file system, FUSE). A mount over a directory of the path tells no watch either.
//
// Not thread-safe: the appender calls it under its mutex. Holds two descriptors (inotify and
// epoll) from the first watch() that needs them to its destruction, and at most maxWatches
// watches.
class Q_DECL_HIDDEN PathWatch
{
public:
    // maxWatches bounds the watches taken: one for the file and one for each directory of its
    // path, "/" included. A path that needs more, and every path when it is 0, is not watched.
    explicit PathWatch(int maxWatches);
    ~PathWatch();

    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    enum class Outcome {
        watched,
        // The path cannot be followed by watches (see above); nothing to say.
        unfollowable,
        // inotify could not be had; the reason says why.
        unavailable,
    };
    // Watches the path, whose file was just opened (and is known by device and inode), instead of
    // whatever was watched before. A change between the open and the watches makes the next
    // lookDue() true.
    Outcome watch(const QByteArray& path, quint64 device, quint64 inode, QString& reason);

    // Whether the path must be looked at before the next line: it is not watched, or something
    // came that may have changed which file it names.
    bool lookDue();
    bool watched() const { return m_watched; }

private:
    struct Watch
    {
        int descriptor;
        // The file's name, on the watch of the directory that holds it.
        QByteArray entry;
    };

    bool openQueue(QString& reason);
    Outcome watchAll(const QByteArray& path, QString& reason);
    bool add(const QByteArray& path, std::uint32_t mask, QByteArray entry, Outcome& failure,
        QString& reason);
    void forget(const std::vector<Watch>& watches, const std::vector<Watch>& kept = {});
    // Reads the queue empty; whether anything in it concerns the path.
    bool drain();
    bool concerns(const inotify_event& event);

    const int m_maxWatches;
    int m_inotify = -1;
    int m_epoll = -1;
    std::vector<Watch> m_watches;
    bool m_watched = false;
    // The path changed between the open and the watches.
    bool m_lookNext = false;
};

} // namespace vesk::log::detail
