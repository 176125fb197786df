#pragma once

#include <vesk/log/appender.h>

#include <QMutex>

#include <iosfwd>

namespace vesk::log {

// Writes each line, UTF-8 encoded, to a standard stream and flushes it. Thread-safe: one line at
// a time under the appender's own mutex.
class StdIoAppender : public Appender
{
public:
    // Writes to std::cerr.
    StdIoAppender();
    // The stream is not owned and must outlive the appender.
    explicit StdIoAppender(std::ostream& stream);

    void log(Level level, const QString& name, const QString& message) override;

private:
    QMutex m_mutex;
    std::ostream& m_stream;
};

} // namespace vesk::log
