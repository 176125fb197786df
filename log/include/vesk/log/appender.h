#pragma once

#include <vesk/log/level.h>

#include <QByteArray>
#include <QString>

namespace vesk::log {

// The output end of a logger: turns a level, a logger name and a finished message into output.
// Implementations serialise their own output (or document that they do not), because one
// appender is shared by every logger and loggers are used from any thread without a lock.
class Appender
{
public:
    Appender() = default;
    Appender(const Appender&) = default;
    Appender(Appender&&) = default;
    Appender& operator=(const Appender&) = delete;
    Appender& operator=(Appender&&) = delete;
    virtual ~Appender();

    // name is the name of the logger that passed the message on.
    virtual void log(Level level, const QString& name, const QString& message) = 0;

    // One log line, without a line end:
    //   "2024-03-01T09:15:02.347   WARN vesk.core - disk full"
    // local time with milliseconds, the level in capitals right-aligned in 6 characters (six
    // spaces for a value that is not a level), the name and the message written as given: marker
    // text such as "%1" in either is left alone.
    static QString format(Level level, const QString& name, const QString& message);
    // The same line in UTF-8, with room reserved for one more byte (a line end).
    static QByteArray formatUtf8(Level level, const QString& name, const QString& message);
};

} // namespace vesk::log
