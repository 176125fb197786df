#include <vesk/log/appender.h>

#include "timestamp.h"

namespace vesk::log {

namespace {

// logLevelToStr in capitals, right-aligned in six characters.
QLatin1StringView levelField(Level level)
{
    switch (level) {
    case Level::off:
        return QLatin1StringView("   OFF");
    case Level::error:
        return QLatin1StringView(" ERROR");
    case Level::warn:
        return QLatin1StringView("  WARN");
    case Level::info:
        return QLatin1StringView("  INFO");
    case Level::debug:
        return QLatin1StringView(" DEBUG");
    case Level::trace:
        return QLatin1StringView(" TRACE");
    }
    return QLatin1StringView("      ");
}

} // namespace

Appender::~Appender() = default;

QString Appender::format(Level level, const QString& name, const QString& message)
{
    // Equivalent to "%1 %2 %3 - %4" filled by four QString::arg calls, but built by
    // concatenation so that marker text in the name cannot take the message either.
    const detail::TimeStamp time = detail::localTimeStamp();
    const QLatin1StringView levelText = levelField(level);
    QString line;
    line.reserve(qsizetype(time.size()) + levelText.size() + name.size() + message.size() + 5);
    line += QLatin1StringView(time.data(), qsizetype(time.size()));
    line += u' ';
    line += levelText;
    line += u' ';
    line += name;
    line += u" - ";
    line += message;
    return line;
}

QByteArray Appender::formatUtf8(Level level, const QString& name, const QString& message)
{
    const detail::TimeStamp time = detail::localTimeStamp();
    const QLatin1StringView levelText = levelField(level);
    const QByteArray nameBytes = name.toUtf8();
    const QByteArray messageBytes = message.toUtf8();
    QByteArray line;
    // One byte more than the line, for the line end that writers append.
    line.reserve(
        qsizetype(time.size()) + levelText.size() + nameBytes.size() + messageBytes.size() + 6);
    line.append(time.data(), qsizetype(time.size()));
    line.append(' ');
    line.append(levelText.data(), levelText.size());
    line.append(' ');
    line.append(nameBytes);
    line.append(" - ", 3);
    line.append(messageBytes);
    return line;
}

} // namespace vesk::log
