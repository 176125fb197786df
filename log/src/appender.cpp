#include <vesk/log/appender.h>

#include "timestamp.h"

#include <QStringEncoder>

#include <algorithm>

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
    // One allocation for the whole line: UTF-8 takes at most three bytes per UTF-16 unit.
    const detail::TimeStamp time = detail::localTimeStamp();
    const QLatin1StringView levelText = levelField(level);
    QByteArray line(
        qsizetype(time.size()) + levelText.size() + 3 * name.size() + 3 * message.size() + 6,
        Qt::Uninitialized);
    char* out = line.data();
    out = std::copy(time.begin(), time.end(), out);
    *out++ = ' ';
    out = std::copy(levelText.begin(), levelText.end(), out);
    *out++ = ' ';
    // Stateless: each text encoded on its own, as QString::toUtf8 does it.
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    out = encoder.appendToBuffer(out, name);
    out = std::copy_n(" - ", 3, out);
    out = encoder.appendToBuffer(out, message);
    // The byte left over is room for the line end that writers append.
    line.resize(out - line.constData());
    return line;
}

} // namespace vesk::log
