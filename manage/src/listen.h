// Internal to vesk-manage, not API.
#pragma once

#include "heartbeattable.h"
#include "registerstate.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace vesk::manage {

struct ListenOptions
{
    QString stateDirectory;
    quint16 port = 5000;
    bool json = false;
};

// Receives heartbeats on the UDP port until SIGINT or SIGTERM, and shows them: a table redrawn on
// the terminal, or a JSON line per beat. Returns the exit status.
int listen(const ListenOptions& options);

// The table as it is drawn at `now`, one line per register and a line of the datagrams refused.
QString tableText(const HeartbeatTable& table, const QDateTime& now);

// One beat of `row` as a JSON line.
QJsonObject beatJson(const HeartbeatTable::Row& row, quint64 missed);

} // namespace vesk::manage
