#include "pathwatch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace vesk::log::detail {

namespace {

// What makes the file leave the path: removed (while it is open only its link count drops, which
// IN_ATTRIB tells; IN_DELETE_SELF waits for the last close), renamed, or replaced by a rename
// over it (its link count drops too). A chmod or a touch of the file raises IN_ATTRIB as well,
// which costs one needless look at the path.
constexpr std::uint32_t fileEvents = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// A directory of the path renamed or gone.
constexpr std::uint32_t directoryEvents = IN_MOVE_SELF | IN_DELETE_SELF;
// A name in the file's directory bound anew or unbound; only the file's own name counts.
constexpr std::uint32_t entryEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

// Whether every change to the directory's file system is made by this kernel, which then queues
// its events. Not so on a network file system, FUSE and the like, where another host or a daemon
// renames behind inotify's back: those, and whatever is not known here, are looked at instead.
bool changedOnlyByThisKernel(const QByteArray& directory)
{
    struct statfs fs
    {
    };
    if (::statfs(directory.constData(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC: // and ext2, ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC: // and devtmpfs
    case RAMFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case SQUASHFS_MAGIC:
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// "/" and each directory below it on the way to the file, as prefixes of the absolute path:
//   "/tillhost/logs/current/morlen-vesk.log" -> "/", "/tillhost", "/tillhost/logs",
//                                               "/tillhost/logs/current"
//   "/a//b/./x.log"                          -> "/", "/a", "/a//b", "/a//b/."
//   "/x.log"                                 -> "/"
// ".." and "." are left to the kernel, which resolves them as it does for the open; an empty
// component adds nothing.
std::vector<QByteArray> directoriesOf(const QByteArray& path)
{
    std::vector<QByteArray> directories { QByteArray("/") };
    const qsizetype last = path.lastIndexOf('/');
    for (qsizetype slash = path.indexOf('/', 1); slash > 0 && slash <= last;
         slash = path.indexOf('/', slash + 1)) {
        if (path.at(slash - 1) != '/')
            directories.push_back(path.left(slash));
    }
    return directories;
}

} // namespace

bool identify(int directory, const char* path, int flags, struct statx& file)
{
    return ::statx(directory, path, flags, STATX_TYPE | STATX_INO | STATX_SIZE, &file) == 0;
}

quint64 deviceOf(const struct statx& file)
{
    return quint64(makedev(file.stx_dev_major, file.stx_dev_minor));
}

PathWatch::PathWatch(int maxWatches)
    : m_maxWatches(maxWatches)
{
}

PathWatch::~PathWatch()
{
    // Closing the instance takes its watches with it.
    if (m_epoll >= 0)
        ::close(m_epoll);
    if (m_inotify >= 0)
        ::close(m_inotify);
}

PathWatch::Outcome PathWatch::watch(
    const QByteArray& path, quint64 device, quint64 inode, QString& reason)
{
    std::vector<Watch> previous;
    previous.swap(m_watches);
    m_watched = false;
    Outcome outcome = watchAll(path, reason);
    // A directory watched again keeps its watch descriptor; the previous file's watch goes.
    forget(previous, m_watches);

    // What came so far is of the previous file, of the open, or of a change between the open and
    // the watches; the look below sees what all of it left, and every change after the read is
    // queued.
    struct statx atPath
    {
    };
    bool found = false;
    if (outcome == Outcome::watched) {
        drain();
        found = identify(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, atPath);
        if (found && S_ISLNK(atPath.stx_mode))
            outcome = Outcome::unfollowable;
    }
    if (outcome != Outcome::watched) {
        forget(m_watches);
        m_watches.clear();
        return outcome;
    }
    m_lookNext = !found || deviceOf(atPath) != device || atPath.stx_ino != inode;
    m_watched = true;
    return Outcome::watched;
}

bool PathWatch::lookDue()
{
    if (!m_watched || m_lookNext) {
        m_lookNext = false;
        return true;
    }
    epoll_event ready;
    const int count = ::epoll_wait(m_epoll, &ready, 1, 0);
    if (count == 0)
        return false;
    // An error of epoll_wait tells nothing either way: look.
    return count < 0 || drain();
}

bool PathWatch::openQueue(QString& reason)
{
    if (m_epoll >= 0)
        return true;
    if (m_inotify < 0)
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0) {
        reason = QStringLiteral("inotify: ") + qt_error_string(errno);
        return false;
    }
    // epoll_wait asks a ready list and is the cheapest question there is; FIONREAD on the
    // inotify descriptor sums up its queue under a lock.
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest {};
    interest.events = EPOLLIN;
    if (m_epoll < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_inotify, &interest) != 0) {
        reason = QStringLiteral("epoll: ") + qt_error_string(errno);
        if (m_epoll >= 0)
            ::close(m_epoll);
        m_epoll = -1;
        return false;
    }
    return true;
}

PathWatch::Outcome PathWatch::watchAll(const QByteArray& path, QString& reason)
{
    if (!path.startsWith('/'))
        return Outcome::unfollowable;
    const std::vector<QByteArray> directories = directoriesOf(path);
    const qsizetype needed = qsizetype(directories.size()) + 1;
    if (needed > m_maxWatches) {
        reason = QStringLiteral("нужно наблюдений inotify: %1, разрешено: %2")
                     .arg(needed)
                     .arg(m_maxWatches);
        return Outcome::unavailable;
    }
    if (!openQueue(reason))
        return Outcome::unavailable;

    Outcome failure = Outcome::watched;
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    for (const QByteArray& directory : directories) {
        const bool holdsFile = &directory == &directories.back();
        // IN_DONT_FOLLOW with IN_ONLYDIR fails on a symbolic link: the walk stops at the first.
        const std::uint32_t mask
            = IN_ONLYDIR | IN_DONT_FOLLOW | directoryEvents | (holdsFile ? entryEvents : 0);
        if (!add(directory, mask, holdsFile ? name : QByteArray(), failure, reason))
            return failure;
        if (!changedOnlyByThisKernel(directory)) {
            reason = QString::fromLocal8Bit(directory)
                + QStringLiteral(": файловая система не сообщает обо всех изменениях");
            return Outcome::unavailable;
        }
    }
    if (!add(path, IN_DONT_FOLLOW | fileEvents, {}, failure, reason))
        return failure;
    return Outcome::watched;
}

bool PathWatch::add(
    const QByteArray& path, std::uint32_t mask, QByteArray entry, Outcome& failure, QString& reason)
{
    const int descriptor = ::inotify_add_watch(m_inotify, path.constData(), mask);
    if (descriptor >= 0) {
        m_watches.push_back({ descriptor, std::move(entry) });
        return true;
    }
    // A symbolic link on the way, or the path changed since the open: the looks take over, and
    // the next open tries again.
    if (errno == ENOTDIR || errno == ENOENT) {
        failure = Outcome::unfollowable;
        return false;
    }
    // Out of watches (ENOSPC), no read permission on a directory, ...
    reason = QString::fromLocal8Bit(path) + QStringLiteral(": ") + qt_error_string(errno);
    failure = Outcome::unavailable;
    return false;
}

void PathWatch::forget(const std::vector<Watch>& watches, const std::vector<Watch>& kept)
{
    for (const Watch& watch : watches) {
        const bool keep = std::any_of(kept.begin(), kept.end(),
            [&](const Watch& other) { return other.descriptor == watch.descriptor; });
        if (!keep)
            ::inotify_rm_watch(m_inotify, watch.descriptor);
    }
}

bool PathWatch::drain()
{
    // Room for at least one event with the longest name; a read returns whole events only.
    alignas(inotify_event) char events[4096];
    bool concerned = false;
    for (;;) {
        const ssize_t size = ::read(m_inotify, events, sizeof events);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return concerned || !(size < 0 && errno == EAGAIN);
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            concerned = concerns(*event) || concerned;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

bool PathWatch::concerns(const inotify_event& event)
{
    // The queue overflowed and events were lost.
    if (event.wd < 0)
        return true;
    bool concerned = false;
    for (const Watch& watch : m_watches) {
        if (watch.descriptor != event.wd)
            continue;
        // The watch went with its file or directory, or with the file system's unmount: the
        // path is looked at before every line until the next watch().
        if ((event.mask & IN_IGNORED) != 0)
            m_watched = false;
        // A nameless event is of the watched file or directory itself.
        concerned
            = concerned || event.len == 0 || (!watch.entry.isEmpty() && watch.entry == event.name);
    }
    // Anything else is of a watch given up before (the previous file, say).
    return concerned;
}

} // namespace vesk::log::detail
