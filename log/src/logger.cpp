#include <vesk/log/logger.h>

namespace vesk::log {

Logger::Logger(const QString& name, Level level, const QSharedPointer<Appender>& appender)
    : m_level(level)
    , m_name(name)
    , m_appender(appender)
{
}

void Logger::log(Level l, const QString& message)
{
    if (l <= m_level)
        m_appender->log(l, m_name, message);
}

} // namespace vesk::log
