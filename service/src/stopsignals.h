#pragma once
// Internal header of vesk-service, not API.

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace vesk::service {

// Ends the event loop on SIGTERM or SIGINT, so that the service stops the way it ends after
// QCoreApplication::quit(): the handler that runs finishes, the Core and the stream engine are
// destroyed, and main returns 0.
//
// block() must run first in main, before any thread exists, so that every thread inherits the
// blocked signals; they then wait, even while the event loop is busy, until an instance reads
// them from a signalfd on the event loop's thread. Destroying the instance unblocks them again, so
// a second signal during the shutdown ends the process at once.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    static void block();

    StopSignals();
    ~StopSignals() override;

    // "SIGTERM" or "SIGINT" once one has arrived, empty before.
    QString received() const { return m_received; }

private:
    void readSignal();

    int m_descriptor = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QString m_received;
};

} // namespace vesk::service
