#include "logcapture.h"

#include <vesk/log/callbackappender.h>
#include <vesk/log/manager.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSharedPointer>

namespace vesk::test {

LogCapture& LogCapture::instance()
{
    static LogCapture capture;
    return capture;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QList<LogCapture::Line> LogCapture::lines(const QString& logger) const
{
    QList<Line> result;
    for (const Line& line : lines()) {
        if (line.logger == logger)
            result.append(line);
    }
    return result;
}

QStringList LogCapture::messages(const QString& logger) const
{
    QStringList result;
    for (const Line& line : lines(logger))
        result.append(line.message);
    return result;
}

bool LogCapture::contains(log::Level level, const QString& logger, const QString& message) const
{
    return lines().contains(Line { level, logger, message });
}

bool LogCapture::waitFor(log::Level level, const QString& logger, const QString& message,
    std::chrono::milliseconds timeout) const
{
    QDeadlineTimer deadline(timeout);
    while (!contains(level, logger, message)) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void LogCapture::append(Line line)
{
    if (hook)
        hook(line);
    QMutexLocker lock(&m_mutex);
    m_lines.append(std::move(line));
}

namespace {

// Before main(): every logger of the test program is made after this and writes here.
[[maybe_unused]] const bool installed = [] {
    log::Manager::setAppender(QSharedPointer<log::CallbackAppender>::create(
        [](log::Level level, const QString& name, const QString& message) {
            LogCapture::instance().append({ level, name, message });
        }));
    return true;
}();

} // namespace

} // namespace vesk::test
