// Internal to vesk-manage, not API.
#pragma once

#include "darkwatch.h"
#include "heartbeattable.h"
#include "hookrunner.h"

#include <QByteArray>
#include <QDateTime>

namespace vesk::manage {

// The fleet in the Prometheus text exposition format (version 0.0.4), as `listen --metrics`
// answers a scrape at `now`: per register whether it is up, the seconds since its last beat (none
// before its first), beats received and missed, its clock against ours; the datagrams refused by
// cause and the hooks by outcome. Label values are escaped as the format wants, whatever a name
// holds.
QByteArray metricsText(const HeartbeatTable& table, const DarkWatch& watch,
    const HookRunner::Counters& hooks, const QDateTime& now);

} // namespace vesk::manage
