#include "logthrottle.h"

namespace vesk::detail {

LogThrottle::LogThrottle(log::Logger* logger, int burst, Clock::duration window)
    : m_logger(logger)
    , m_burst(burst)
    , m_window(window)
{
}

std::optional<LogThrottle::Clock::time_point> LogThrottle::flush(Clock::time_point now)
{
    QMutexLocker lock(&m_mutex);
    std::optional<Clock::time_point> next;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry& entry = it.value();
        if (now - entry.windowStart >= m_window) {
            summarise(entry);
            it = m_entries.erase(it);
            continue;
        }
        if (entry.suppressed > 0 && (!next || entry.windowStart + m_window < *next))
            next = entry.windowStart + m_window;
        ++it;
    }
    return next;
}

LogThrottle::Entry& LogThrottle::admit(const char* format, Clock::time_point now)
{
    Entry& entry = m_entries[format];
    if (entry.written == 0 && entry.suppressed == 0) {
        entry.windowStart = now;
    } else if (now - entry.windowStart >= m_window) {
        summarise(entry);
        entry = Entry();
        entry.windowStart = now;
    }
    return entry;
}

void LogThrottle::summarise(Entry& entry)
{
    if (entry.suppressed == 0)
        return;
    const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(m_window);
    m_logger->log(entry.level,
        QString("%1 similar lines left out in %2 ms, the last: %3")
            .arg(entry.suppressed)
            .arg(window.count())
            .arg(entry.last));
}

} // namespace vesk::detail
