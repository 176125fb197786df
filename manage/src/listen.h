// Internal to vesk-manage, not API.
#pragma once

#include "darkwatch.h"
#include "heartbeattable.h"
#include "registerstate.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace vesk::manage {

struct ListenOptions
{
    QString stateDirectory;
    quint16 port = 5000;
    bool json = false;
    // Neither the table nor a line per beat: for a listener that serves metrics or a page.
    bool quiet = false;
    // How often a register beats (the beat does not say).
    std::chrono::milliseconds beatEvery { 60000 };
    // No beat for this long makes a register dark; none: three beats missed.
    std::optional<std::chrono::milliseconds> darkAfter;
    // The hooks' argv; empty for none.
    QStringList onDark;
    QStringList onBack;
    std::chrono::milliseconds hookTimeout { 30000 };
    // Where to answer scrapes; none: no metrics.
    std::optional<std::pair<QHostAddress, quint16>> metrics;
    // The page to keep; empty: none.
    QString page;
    std::chrono::milliseconds pageEvery { 5000 };
};

// Receives heartbeats on the UDP port until SIGINT or SIGTERM, and shows them: a table redrawn on
// the terminal, or a JSON line per beat; says when a register goes dark and when it is back, and
// runs the hooks for it; serves metrics and keeps a page when asked. Returns the exit status.
int listen(const ListenOptions& options);

// The table as it is drawn at `now`, one line per register and a line of the datagrams refused.
QString tableText(const HeartbeatTable& table, const DarkWatch& watch, const QDateTime& now);

// One beat of `row` as a JSON line.
QJsonObject beatJson(const HeartbeatTable::Row& row, quint64 missed);

// A register gone dark or back, as a JSON line and as a hook's environment: VESK_EVENT ("dark" or
// "back"), VESK_REGISTER, VESK_ADDRESS (where its last beat came from, else its API's address),
// VESK_LAST_BEAT (our time of its last beat, empty before the first).
QJsonObject changeJson(const DarkWatch::Change& change, const HeartbeatTable::Row& row);
QProcessEnvironment changeEnvironment(
    const DarkWatch::Change& change, const HeartbeatTable::Row& row);

} // namespace vesk::manage
