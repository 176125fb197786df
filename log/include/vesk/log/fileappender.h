#pragma once

#include <vesk/log/appender.h>

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

namespace vesk::log {

namespace detail {
class PathWatch;
}

// Appends lines to a log file and rotates it by size. Thread-safe: each line (file check,
// directory creation, size check, rotation, open, write) runs under the appender's mutex.
//
// Nothing happens at construction; the first line creates the directory and the file. A file
// that someone deletes, moves away or replaces (or whose directory, or a directory above it, is
// moved away) is left alone and a new one is made at the path, and the line right after such a
// change already goes to the path. inotify watches on the file and on each directory of its path
// tell of the change: the kernel queues the news before the call that made the change returns,
// and the appender asks its queue before every line (one epoll_wait(2) of no time). Only when
// something came that concerns the path does it look at the path (one statx(2)) and compare the
// file there with the one it has open. So a line costs that question and one write(2).
//
// Where no watch can tell (a relative path, a path through a symbolic link, a network file
// system, inotify out of instances or watches, a path deeper than maxWatches), the appender
// looks at the path before every line instead: as sure, and slower. When inotify could not be
// had it says why once on standard error. The file is not buffered, so a line is in the file
// when log() returns.
//
// The size of the file is counted as lines are written: a line that would take the file past
// the limit rotates it first, so no file holds more than maxSize() bytes (unless the rotation
// itself fails: then the file grows and the next line tries again). Lines that another process
// appends to the same file are counted at the latest with the 102nd line of ours after them.
// A line longer than the limit by itself is cut to it, ending in " [cut from <n> bytes]".
// Rotation: the file becomes "<name>.1", the numbered files move up by one ("<name>.1" to
// "<name>.2", ...) and those that would exceed maxFiles - 1 are removed. Only the file itself and
// names of the form "<file name>.<number>" take part; other files in the directory are never
// touched.
//
// When the file cannot be written (its directory cannot be made, it cannot be opened, the disk
// is full), the appender says so once on standard error and writes its lines there instead, so
// that they reach the journal. It tries the file again with the first line that comes
// `recheckAfter` or longer after its last try; once the file takes a line again, it says so once
// and stays with the file. Its own messages go to standard error, never through a logger (which
// could be this appender).
class FileAppender : public Appender
{
public:
    // Enough for a path 30 directories deep.
    static constexpr int defaultMaxWatches = 32;

    // maxFileSize is in units of 1000 bytes (clamped to what fits a signed 32-bit byte count; 0
    // or less rotates before every line, each line whole in a file of its own); maxFiles counts
    // the current file (1 or less keeps none). recheckAfter is how long lines go to standard
    // error after the file failed; 0 tries the file again with the next line. maxWatches bounds
    // the inotify watches taken (one for the file, one for each directory of its path); 0 takes
    // none and looks at the path before every line.
    FileAppender(const QString& path, int maxFileSize, int maxFiles,
        std::chrono::milliseconds recheckAfter = std::chrono::seconds(1),
        int maxWatches = defaultMaxWatches);
    ~FileAppender() override;

    FileAppender(const FileAppender&) = delete;
    FileAppender(FileAppender&&) = delete;

    void log(Level level, const QString& name, const QString& message) override;

    // Appends line and "\n", rotating first when the line would not fit.
    void writeLine(const QByteArray& line);

    // Whether the lines go to standard error now: the file failed and its lines go there, or the
    // path names standard error's own file (a Logger/path of "/dev/stderr", say), which is then
    // never rotated. Whoever also says a thing on standard error asks, so as to say it once.
    bool onStandardError() const;

    // How the appender learns that its path changed, for whoever checks on it.
    struct PathChecks
    {
        // The open file's path is watched; otherwise (or with no file open) it is looked at
        // before every line.
        bool watched = false;
        // Looks at the path before a line, and how many of them found the open file gone.
        quint64 looks = 0;
        quint64 reopened = 0;
    };
    PathChecks pathChecks() const;

    // Size limit in bytes, as derived from maxFileSize.
    std::int32_t maxSize() const { return m_maxSize; }
    std::int32_t maxFiles() const { return m_maxFiles; }

protected:
    // Writes "логгер: " and text to std::cerr, with a line end and a flush.
    static void fail(const QString& text);

    // Rotates the file when `incoming` more bytes would take it past the limit; leaves the file
    // closed after rotating. Called with m_mutex held and the file open.
    void rotate(qint64 incoming);

private:
    using Clock = std::chrono::steady_clock;

    // All with m_mutex held. whole ends with the line end.
    void append(QByteArray& whole);
    // Before a line: looks at the path when the watch says so (or there is none), and takes the
    // file's size from the kernel now and then.
    void checkFile();
    // Closes the file when the path no longer names it; otherwise takes its size afresh.
    void checkPath();
    void takeSize();
    // Watches the path of the file just opened, or says once why it cannot.
    void watch();
    // The reason when the file cannot be opened, made or written; empty on success.
    QString open();
    QString write(const QByteArray& whole);
    void close();
    // The file failed for the reason: said once, and the line goes to standard error.
    void fallBack(const QString& reason, const QByteArray& whole);

    mutable QMutex m_mutex;
    const QString m_path;
    const QByteArray m_encodedPath;
    const std::int32_t m_maxSize;
    const std::int32_t m_maxFiles;
    const std::chrono::milliseconds m_recheckAfter;
    const std::unique_ptr<detail::PathWatch> m_watch;
    // writeLine's line and line end, kept from line to line so that a line costs no allocation.
    QByteArray m_lineBuffer;
    int m_descriptor = -1;
    // Identity of the open file and its size as we know it; whether it is standard error's own
    // file, and whether it may be rotated (a regular file that is not).
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_size = 0;
    int m_linesSinceSize = 0;
    PathChecks m_checks;
    bool m_saidUnwatched = false;
    bool m_isStandardError = false;
    bool m_rotatable = false;
    // Lines go to standard error until retryAt.
    bool m_failing = false;
    Clock::time_point m_retryAt;
};

} // namespace vesk::log
