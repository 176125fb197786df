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
// that someone deletes or moves away is recreated at the path, once the appender looks again:
// on every 102nd line, and on any line that comes `recheckAfter` or longer after the previous
// look. A quiet service therefore notices at its next line; lines written in a burst meanwhile
// go to the file as it was (the moved file, or the deleted one). Between two looks a line costs
// one write(2) and no other system call. The file is not buffered, so a line is in the file when
// log() returns.
//
// Every 102nd line the size is checked; a file at or above the limit becomes "<name>.1", the
// numbered files move up by one ("<name>.1" to "<name>.2", ...) and those that would exceed
// maxFiles - 1 are removed. Only the file itself and names of the form "<file name>.<number>"
// take part; other files in the directory are never touched.
//
// Failures are reported on standard error, one message per dropped line, never through a logger
// (which could be this appender).
class FileAppender : public Appender
{
public:
    // maxFileSize is in units of 1000 bytes (clamped to what fits a signed 32-bit byte count; 0
    // or less rotates at every check); maxFiles counts the current file (1 or less keeps none).
    // recheckAfter 0 looks at the path before every line.
    FileAppender(const QString& path, int maxFileSize, int maxFiles,
        std::chrono::milliseconds recheckAfter = std::chrono::seconds(1));
    ~FileAppender() override;

    FileAppender(const FileAppender&) = delete;
    FileAppender(FileAppender&&) = delete;

    void log(Level level, const QString& name, const QString& message) override;

    // Appends line and "\n", rotating first when a size check is due.
    void writeLine(const QByteArray& line);

    // Size limit in bytes, as derived from maxFileSize.
    std::int32_t maxSize() const { return m_maxSize; }
    std::int32_t maxFiles() const { return m_maxFiles; }

protected:
    // Writes "логгер: " and text to std::cerr, with a line end and a flush.
    static void fail(const QString& text);

    // The size check and, when due, the rotation; leaves the file closed after rotating.
    // Called with m_mutex held.
    void rotate();

private:
    // All with m_mutex held. whole ends with the line end.
    void append(const QByteArray& whole);
    // Closes the file when the path no longer names it; otherwise takes its size afresh.
    void recheckPath(std::chrono::steady_clock::time_point now);
    bool open();
    void close();

    QMutex m_mutex;
    const QString m_path;
    const QByteArray m_encodedPath;
    const std::int32_t m_maxSize;
    const std::int32_t m_maxFiles;
    const std::chrono::milliseconds m_recheckAfter;
    std::int32_t m_lineCounter = 0; // lines since the last size check
    int m_descriptor = -1;
    // Identity of the open file, its size as we know it, and when the path was last looked at.
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_size = 0;
    std::chrono::steady_clock::time_point m_lastCheck;
};

} // namespace vesk::log
