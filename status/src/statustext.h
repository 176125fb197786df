#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace vesk::status {

// A status written longer ago than this comes from a service that stopped rewriting it: the
// service rewrites it at least every 30 seconds.
constexpr qint64 staleAfterSeconds = 120;

// Whether the service that wrote `status` is running, as far as the file can tell at `now`:
// neither stopped cleanly nor silent for longer than staleAfterSeconds.
bool looksAlive(const QJsonObject& status, const QDateTime& now);

// The status for a person, one fact per line, times in the zone the service wrote them in.
// Members that are missing or of another kind read as unknown; nothing in the file can make this
// fail.
QString statusText(const QJsonObject& status, const QDateTime& now);

} // namespace vesk::status
