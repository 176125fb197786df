#include "stopsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace vesk::service {

namespace {

sigset_t stopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void StopSignals::block()
{
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals()
{
    const sigset_t set = stopSet();
    m_descriptor = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_descriptor < 0) {
        // Without the descriptor the signals would stay blocked and the service unstoppable but
        // by SIGKILL: let them end the process as they would by default.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_descriptor, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, &StopSignals::readSignal);
}

StopSignals::~StopSignals()
{
    m_notifier.reset();
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void StopSignals::readSignal()
{
    signalfd_siginfo info {};
    ssize_t got;
    do {
        got = ::read(m_descriptor, &info, sizeof info);
    } while (got < 0 && errno == EINTR);
    if (got != ssize_t(sizeof info))
        return;
    if (m_received.isEmpty())
        m_received
            = info.ssi_signo == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
    QCoreApplication::quit();
}

} // namespace vesk::service
