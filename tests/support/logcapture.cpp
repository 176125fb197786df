#include "logcapture.h"

#include <vesk/log/callbackappender.h>
#include <vesk/log/manager.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSharedPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace vesk::test {

LogCapture& LogCapture::instance()
{
    static LogCapture capture;
    return capture;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_forgotten += m_lines.size();
    m_lines.clear();
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QList<LogCapture::Line> LogCapture::take()
{
    QMutexLocker lock(&m_mutex);
    m_forgotten += m_lines.size();
    return std::exchange(m_lines, {});
}

qsizetype LogCapture::total() const
{
    QMutexLocker lock(&m_mutex);
    return m_forgotten + m_lines.size();
}

QStringList LogCapture::messagesSince(const QString& logger, qsizetype first) const
{
    QMutexLocker lock(&m_mutex);
    QStringList result;
    for (qsizetype i = std::max<qsizetype>(0, first - m_forgotten); i < m_lines.size(); ++i) {
        if (m_lines[i].logger == logger)
            result.append(m_lines[i].message);
    }
    return result;
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

namespace {

// Turns the event loop until seen() holds; false after the time-out. Lines come from worker
// threads without an event of their own, so a tick wakes the loop to look again.
bool turnUntil(const std::function<bool()>& seen, std::chrono::milliseconds timeout)
{
    QTimer tick;
    tick.start(10);
    const QDeadlineTimer deadline(timeout);
    while (!seen()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

bool LogCapture::waitFor(log::Level level, const QString& logger, const QString& message,
    std::chrono::milliseconds timeout) const
{
    return turnUntil([&] { return contains(level, logger, message); }, timeout);
}

bool LogCapture::waitFor(const QString& logger, const QRegularExpression& pattern,
    std::chrono::milliseconds timeout) const
{
    return turnUntil([&] { return !messages(logger).filter(pattern).isEmpty(); }, timeout);
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
