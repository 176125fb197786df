// Internal to vesk-manage, not API.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>

#include <chrono>
#include <deque>
#include <memory>

class QProcess;

namespace vesk::manage {

// Runs the operator's commands for the listener's news (a register dark, a register back) without
// ever waiting for them: each is started with its argv (no shell) and the news in its environment,
// never in its arguments, so a register's name cannot become a command. A hook that outlives
// `timeout` is killed; at most `running` run at once, at most `queued` wait, and news beyond that
// is dropped and counted, so a hook that hangs or a fleet that goes dark at once cannot grow the
// listener without bound. Standard input is closed and standard output discarded (the listener's
// own output stays readable); standard error is the listener's.
//
// The clock is passed in (tick), so time-outs are tested in virtual time. Lives on the thread of
// an event loop, which reports the processes' ends.
class HookRunner : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        std::chrono::milliseconds timeout { 30000 };
        int running = 4;
        int queued = 1000;
    };

    struct Counters
    {
        quint64 started = 0;
        quint64 succeeded = 0;
        quint64 failed = 0; // a status other than 0, a crash or no start
        quint64 killed = 0;
        quint64 dropped = 0;
    };

    explicit HookRunner(const Limits& limits, QObject* parent = nullptr);
    ~HookRunner() override;

    // Queues `argv` (the program first) with `news` added to this process's environment, and
    // starts it at once when there is room. An empty argv does nothing.
    void run(const QStringList& argv, const QProcessEnvironment& news, Clock::time_point now);
    // Kills what overran its time-out; call it now and then.
    void tick(Clock::time_point now);

    const Counters& counters() const { return m_counters; }
    int runningCount() const { return int(m_running.size()); }
    int queuedCount() const { return int(m_queue.size()); }

Q_SIGNALS:
    // A hook ended one way or another; for tests and the listener's note.
    void ended();

private:
    struct Job
    {
        QStringList argv;
        QProcessEnvironment environment;
    };

    void startQueued(Clock::time_point now);
    void onFinished(QProcess* process, bool succeeded);

    Limits m_limits;
    std::deque<Job> m_queue;
    // The deadline of each running hook.
    QHash<QProcess*, Clock::time_point> m_running;
    // Killed here, not yet reported ended.
    QList<QProcess*> m_killed;
    Counters m_counters;
    Clock::time_point m_now {};
};

} // namespace vesk::manage
