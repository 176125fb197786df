#pragma once

#include <vesk/log/appender.h>
#include <vesk/log/level.h>
#include <vesk/log/qstringarg.h>

#include <QSharedPointer>
#include <QString>

#include <utility>

namespace vesk::log {

// A named logger with a fixed threshold and a fixed appender. Obtain it from Manager::logger and
// keep the pointer: loggers live until the process ends. Every member is safe to call from any
// thread, without a lock, because nothing in a logger changes after construction.
class Logger
{
public:
    Logger(const QString& name, Level level, const QSharedPointer<Appender>& appender);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    const QString& name() const { return m_name; }
    Level level() const { return m_level; }
    const QSharedPointer<Appender>& appender() const { return m_appender; }

    bool isLevelEnabled(Level l) const { return l <= m_level; }

    // Passes the message to the appender when l <= level(); exceptions of the appender pass on.
    void log(Level l, const QString& message);

    // Each argument fills the lowest-numbered remaining marker ("%1", "%2", ...) by QString::arg
    // rules, all in one pass over the format: a marker inside an argument (a delivered file named
    // "%2", say) is text like any other and never takes a later argument. The message is built
    // before the level test, so code that builds an expensive message asks isLevelEnabled first.
    template <QStringArg... Args> void debug(const QString& format, Args&&... args)
    {
        log(Level::debug, concat(format, std::forward<Args>(args)...));
    }
    template <QStringArg... Args> void info(const QString& format, Args&&... args)
    {
        log(Level::info, concat(format, std::forward<Args>(args)...));
    }
    template <QStringArg... Args> void warn(const QString& format, Args&&... args)
    {
        log(Level::warn, concat(format, std::forward<Args>(args)...));
    }
    template <QStringArg... Args> void error(const QString& format, Args&&... args)
    {
        log(Level::error, concat(format, std::forward<Args>(args)...));
    }

    //   concat("at %1 port %2", "10.0.0.1", 49152) -> "at 10.0.0.1 port 49152"
    //   concat("%2 %1", "a", "b")                  -> "b a"
    //   concat("%1")                               -> "%1"
    //   concat("%1 and %2", "%2", "b")             -> "%2 and b"
    static QString concat(const QString& format) { return format; }
    template <QStringArg First, QStringArg... Rest>
    static QString concat(const QString& format, First&& first, Rest&&... rest)
    {
        return format.arg(
            detail::text(std::forward<First>(first)), detail::text(std::forward<Rest>(rest))...);
    }

private:
    const Level m_level;
    const QString m_name;
    const QSharedPointer<Appender> m_appender;
};

} // namespace vesk::log
