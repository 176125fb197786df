#include "hookrunner.h"

#include "console.h"

#include <vesk/log/peertext.h>

#include <QProcess>

namespace vesk::manage {

HookRunner::HookRunner(const Limits& limits, QObject* parent)
    : QObject(parent)
    , m_limits(limits)
{
}

HookRunner::~HookRunner()
{
    // A hook still running is not waited for: the listener is ending, and its news with it.
    for (auto it = m_running.cbegin(); it != m_running.cend(); ++it) {
        QProcess* process = it.key();
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
        delete process;
    }
}

void HookRunner::run(
    const QStringList& argv, const QProcessEnvironment& news, Clock::time_point now)
{
    if (argv.isEmpty())
        return;
    if (qsizetype(m_queue.size()) >= m_limits.queued) {
        ++m_counters.dropped;
        return;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(news);
    m_queue.push_back({ argv, std::move(environment) });
    startQueued(now);
}

void HookRunner::tick(Clock::time_point now)
{
    m_now = now;
    for (auto it = m_running.cbegin(); it != m_running.cend(); ++it)
        if (it.value() <= now && !m_killed.contains(it.key())) {
            m_killed.append(it.key());
            it.key()->kill();
        }
    startQueued(now);
}

void HookRunner::startQueued(Clock::time_point now)
{
    m_now = std::max(m_now, now);
    while (!m_queue.empty() && m_running.size() < m_limits.running) {
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        auto* process = new QProcess(this);
        process->setProgram(job.argv.front());
        process->setArguments(job.argv.mid(1));
        process->setProcessEnvironment(job.environment);
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        connect(process, &QProcess::finished, this,
            [this, process](int status, QProcess::ExitStatus how) {
                onFinished(process, how == QProcess::NormalExit && status == 0);
            });
        connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) {
                note(QStringLiteral("hook %1 did not start: %2")
                         .arg(log::peerText(process->program()), process->errorString()));
                onFinished(process, false);
            }
        });
        m_running.insert(process, m_now + m_limits.timeout);
        ++m_counters.started;
        process->start();
    }
}

void HookRunner::onFinished(QProcess* process, bool succeeded)
{
    if (!m_running.remove(process))
        return;
    if (m_killed.removeOne(process)) {
        ++m_counters.killed;
        note(QStringLiteral("hook %1 killed after %2 s")
                 .arg(log::peerText(process->program()))
                 .arg(m_limits.timeout.count() / 1000.0));
    } else if (succeeded)
        ++m_counters.succeeded;
    else
        ++m_counters.failed;
    process->deleteLater();
    startQueued(m_now);
    Q_EMIT ended();
}

} // namespace vesk::manage
