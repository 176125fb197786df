#pragma once
// Internal header of libvesk_httpserver, not API.

#include <vesk/log/logger.h>

#include <QHash>
#include <QMutex>
#include <QString>

#include <chrono>
#include <optional>
#include <utility>

namespace vesk::detail {

// Keeps the log lines that peers cause from flooding the log: of each message format, at most
// `burst` lines are written per window; the rest are counted, and when the window is over one
// line says how many were left out and repeats the last of them. A flood of bad connections
// thus costs a few lines a second instead of rotating the log history away.
//
// Formats are told apart by their address: pass string literals. Safe to use from any thread.
// The time comes in from the caller, so that tests need no clock.
class LogThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    LogThrottle(log::Logger* logger, int burst, Clock::duration window);

    // Whether a message of the level would be written at all; for callers whose arguments cost.
    bool enabled(log::Level level) const { return m_logger->isLevelEnabled(level); }

    // Formats and writes the message unless the level is off or the format used up its burst.
    template <log::QStringArg... Args>
    void log(log::Level level, Clock::time_point now, const char* format, Args&&... args)
    {
        if (!m_logger->isLevelEnabled(level))
            return;
        QMutexLocker lock(&m_mutex);
        Entry& entry = admit(format, now);
        if (entry.written < m_burst) {
            ++entry.written;
            lock.unlock();
            m_logger->log(level,
                log::Logger::concat(QString::fromLatin1(format), std::forward<Args>(args)...));
        } else {
            ++entry.suppressed;
            entry.level = level;
            entry.last
                = log::Logger::concat(QString::fromLatin1(format), std::forward<Args>(args)...);
        }
    }

    // Writes the summaries of the windows that are over; returns when the next one is due, or
    // nothing when no line is being held back.
    std::optional<Clock::time_point> flush(Clock::time_point now);

private:
    struct Entry
    {
        Clock::time_point windowStart;
        int written = 0;
        qint64 suppressed = 0;
        log::Level level = log::Level::error;
        QString last;
    };

    // The format's entry, its window renewed (and the old one summarised) when over.
    Entry& admit(const char* format, Clock::time_point now);
    void summarise(Entry& entry);

    log::Logger* const m_logger;
    const int m_burst;
    const Clock::duration m_window;
    QMutex m_mutex;
    QHash<const char*, Entry> m_entries;
};

} // namespace vesk::detail
