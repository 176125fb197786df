#pragma once
// Test support, not API: every line the test program logs. Linked from vesk_test_support; the
// capture is installed when a test uses it, before main() runs.

#include <vesk/log/level.h>

#include <QList>
#include <QMutex>
#include <QRegularExpression>
#include <QString>

#include <chrono>
#include <functional>
#include <utility>

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
    // The lines so far, forgotten here.
    QList<Line> take();
    // The lines of one logger, in order.
    QList<Line> lines(const QString& logger) const;
    QStringList messages(const QString& logger) const;
    bool contains(log::Level level, const QString& logger, const QString& message) const;
    // Waits, running the event loop, until such a line has been logged; false after the time-out.
    bool waitFor(log::Level level, const QString& logger, const QString& message,
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Waits likewise for a message of the logger, at any level, that matches the pattern.
    bool waitFor(const QString& logger, const QRegularExpression& pattern,
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    void append(Line line);

    // Sees every line as it is logged, on the thread that logs it: for a test that acts in the
    // middle of a run, at a step the run logs. Set and cleared while no other thread logs.
    std::function<void(const Line&)> hook;

    // How many lines were ever logged, those cleared or taken included.
    qsizetype total() const;
    // The messages of one logger from line number `first` of total() on.
    QStringList messagesSince(const QString& logger, qsizetype first) const;

private:
    mutable QMutex m_mutex;
    QList<Line> m_lines;
    qsizetype m_forgotten = 0;
};

// The messages one logger logs while this lives: for a test that looks at what one call logged.
class LogLines
{
public:
    explicit LogLines(QString logger)
        : m_logger(std::move(logger))
        , m_first(LogCapture::instance().total())
    {
    }
    QStringList lines() const { return LogCapture::instance().messagesSince(m_logger, m_first); }

private:
    QString m_logger;
    qsizetype m_first;
};

} // namespace vesk::test
