// Internal to vesk-manage, not API.
#pragma once

#include "deliveryrecord.h"
#include "remote.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace vesk::manage {

// One register's line of `status` over many: what its status says it plays, where we delivered
// that from, and the last look at its sync directory.
struct RegisterStatusRow
{
    QString name;
    // Empty when the status was read; else why not.
    QString unreadable;
    bool alive = false;
    // The delivery whose playlist it applied, and when; empty before the first.
    QString delivery;
    QString applied;
    // The directory we delivered it from, when we did.
    QString directory;
    // The last look: "up to date", "refused: a file does not match its checksum in TF", ...
    QString sync;
    QString stream;
    // Whether it plays the newest delivery sent to any register shown.
    bool onLatest = false;

    QJsonObject toJson() const;
    QString text() const;
};

// The row from what was read (`status` empty when it could not be, with `error` why) and what we
// delivered there.
RegisterStatusRow statusRow(const QString& name, const std::optional<QJsonObject>& status,
    const QString& error, const DeliveryRecord& record, const QDateTime& now);

// The newest delivery sent to any of them: the one a register is "on" or not.
DeliveryRecord::Entry latestDelivery(const QList<DeliveryRecord>& records);

struct StatusTarget
{
    QString name;
    SshTarget target;
};

// Reads the registers' statuses, `parallel` at once, and prints a line per register and the
// registers not on the latest delivery (or JSON lines). Exit status: 0 every service runs,
// 1 one stopped or its status is stale, 3 a status cannot be read.
int fleetStatus(
    const QList<StatusTarget>& targets, const QString& stateDirectory, bool json, int parallel);

} // namespace vesk::manage
