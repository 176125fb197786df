#pragma once

#include <vesk/log/appender.h>

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <chrono>
#include <cstdint>

namespace vesk::log {

// Appends lines to a log file and rotates it by size. Thread-safe: each line (file check,
// directory creation, size check, rotation, open, write) runs under the appender's mutex.
//
// Nothing happens at construction; the first line creates the directory and the file. A file
// that someone deletes, moves away or replaces is left alone and a new one is made at the path:
// before every line the appender looks at the path (one statx(2)) and compares the file there
// with the one it has open, so the line right after such a change goes to the path. A line costs
// that look and one write(2). The file is not buffered, so a line is in the file when log()
// returns.
//
// The size of the file is counted as lines are written: a line that would take the file past
// the limit rotates it first, so no file holds more than maxSize() bytes (unless the rotation
// itself fails: then the file grows and the next line tries again). A line longer than the
// limit by itself is cut to it, ending in " [cut from <n> bytes]". Rotation: the file becomes
// "<name>.1", the numbered files move up by one ("<name>.1" to "<name>.2", ...) and those that
// would exceed maxFiles - 1 are removed. Only the file itself and names of the form
// "<file name>.<number>" take part; other files in the directory are never touched.
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
    // maxFileSize is in units of 1000 bytes (clamped to what fits a signed 32-bit byte count; 0
    // or less rotates before every line, each line whole in a file of its own); maxFiles counts
    // the current file (1 or less keeps none). recheckAfter is how long lines go to standard
    // error after the file failed; 0 tries the file again with the next line.
    FileAppender(const QString& path, int maxFileSize, int maxFiles,
        std::chrono::milliseconds recheckAfter = std::chrono::seconds(1));
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
    // Closes the file when the path no longer names it; otherwise takes its size afresh.
    void checkPath();
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
    int m_descriptor = -1;
    // Identity of the open file and its size as we know it; whether it is standard error's own
    // file, and whether it may be rotated (a regular file that is not).
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_size = 0;
    bool m_isStandardError = false;
    bool m_rotatable = false;
    // Lines go to standard error until retryAt.
    bool m_failing = false;
    Clock::time_point m_retryAt;
};

} // namespace vesk::log
