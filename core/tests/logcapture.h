#pragma once
// Test support of libvesk_core, not API.

#include <vesk/log/level.h>

#include <QList>
#include <QMutex>
#include <QString>

#include <chrono>
#include <functional>

namespace vesk::test {

// Every line logged in the test program, whatever the logger: installed as the Manager's default
// appender before main() runs, so every logger made by the tests writes here.
class LogCapture
{
public:
    struct Line
    {
        log::Level level;
        QString logger;
        QString message;
        bool operator==(const Line&) const = default;
    };

    static LogCapture& instance();

    void clear();
    QList<Line> lines() const;
    // The lines of one logger, in order.
    QList<Line> lines(const QString& logger) const;
    QStringList messages(const QString& logger) const;
    bool contains(log::Level level, const QString& logger, const QString& message) const;
    // Waits, running the event loop, until such a line has been logged; false after the time-out.
    bool waitFor(log::Level level, const QString& logger, const QString& message,
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    void append(Line line);

    // Sees every line as it is logged, on the thread that logs it: for a test that acts in the
    // middle of a run, at a step the run logs. Set and cleared while no other thread logs.
    std::function<void(const Line&)> hook;

private:
    mutable QMutex m_mutex;
    QList<Line> m_lines;
};

} // namespace vesk::test
