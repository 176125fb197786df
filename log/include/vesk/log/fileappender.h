#pragma once

#include <vesk/log/appender.h>

#include <QByteArray>
#include <QFile>
#include <QMutex>

#include <cstdint>

namespace vesk::log {

// Appends lines to a log file and rotates it by size. Thread-safe: each line (existence check,
// directory creation, size check, rotation, open, write) runs under the appender's mutex.
//
// Nothing happens at construction; the first line creates the directory and the file. A file
// that someone deletes or moves away is recreated at the path by the next line. The file is
// written unbuffered, so a line is in the file when log() returns.
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
    FileAppender(const QString& path, int maxFileSize, int maxFiles);
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
    QMutex m_mutex;
    QFile m_file;
    std::int32_t m_maxSize;
    std::int32_t m_maxFiles;
    std::int32_t m_lineCounter = 0; // lines since the last size check
};

} // namespace vesk::log
