#include <vesk/log/appender.h>

#include <QDateTime>

namespace vesk::log {

Appender::~Appender() = default;

QString Appender::format(Level level, const QString& name, const QString& message)
{
    // Equivalent to "%1 %2 %3 - %4" filled by four QString::arg calls, but built by
    // concatenation so that marker text in the name cannot take the message either.
    const QString time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    const QString levelField = QStringLiteral("%1").arg(logLevelToStr(level).toUpper(), 6);
    QString line;
    line.reserve(time.size() + levelField.size() + name.size() + message.size() + 5);
    line += time;
    line += u' ';
    line += levelField;
    line += u' ';
    line += name;
    line += u" - ";
    line += message;
    return line;
}

} // namespace vesk::log
