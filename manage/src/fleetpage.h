// Internal to vesk-manage, not API.
#pragma once

#include "darkwatch.h"
#include "deliveryrecord.h"
#include "heartbeattable.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <chrono>

namespace vesk::manage {

// The fleet as one self-contained HTML page (no script, no outside resource): a row per
// register, alive or dark and since when, where its last beat came from, its clock against ours,
// what it plays and its last delivery as `deliver` recorded them (`deliveries` by register; a
// register missing there was never delivered to from here). Every text is escaped. `refresh`
// is how often a browser is asked to load it again.
QString pageHtml(const HeartbeatTable& table, const DarkWatch& watch,
    const QHash<QString, DeliveryRecord>& deliveries, const QDateTime& now,
    std::chrono::seconds refresh);

// The records of the registers in `table`, read for one page.
QHash<QString, DeliveryRecord> deliveriesOf(
    const HeartbeatTable& table, const DeliveryRecords& records);

// Replaces `path` with `html` as a whole: a temporary file in the same directory, renamed over
// it, so a reader sees the old page or the new one, never a part. False with `error` set when
// it cannot.
bool writePage(const QString& path, const QString& html, QString& error);

} // namespace vesk::manage
