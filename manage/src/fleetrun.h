// Internal to vesk-manage, not API.
#pragma once

#include "delivery.h"

#include <QList>
#include <QString>

#include <functional>

namespace vesk::manage {

struct FleetJob
{
    QString name;
    DeliverOptions options;
};

// Runs the deliveries of `jobs`, at most `parallel` at once, each on a thread of its own, so that
// a register that is slow, dead or holding its TF takes one place and holds none of the others
// up. `changed` sees every event, on the calling thread, with the index of its job; `idle` is
// called there at least every `idleMs` while the run goes on (a live view redraws then);
// `allSent` once no register still needs TF sent (from then on the directory may change).
// Returns each job's last event, in the order of the jobs.
QList<DeliveryEvent> runFleet(const QList<FleetJob>& jobs, const Content& content, int parallel,
    const std::function<void(qsizetype, const DeliveryEvent&)>& changed,
    const std::function<void()>& idle, const std::function<void()>& allSent, int idleMs = 200);

// Calls `work` for 0 .. count - 1, at most `parallel` at once on threads of their own; returns
// when every call has.
void forEachParallel(qsizetype count, int parallel, const std::function<void(qsizetype)>& work);

// How many ended which way; the exit status of the whole run: 0 when every register played,
// 3 when any is unreachable, failed or still retrying, 1 when the rest played but some refused.
struct FleetSummary
{
    int played = 0;
    int refused = 0;
    int unreachable = 0;
    int failed = 0;
    int unsettled = 0;

    void count(Stage stage);
    int exitStatus() const;
    // "20 registers: 17 played, 1 refused, 1 unreachable, 1 still retrying"; the registers are
    // those counted unless `registers` says how many there are in all.
    QString text(qsizetype registers = -1) const;
};

} // namespace vesk::manage
