#include "fleetstatus.h"

#include "console.h"
#include "delivery.h"
#include "fleetrun.h"
#include <vesk/log/peertext.h>
#include <vesk/protocol/status.h>

#include <QJsonArray>
#include <QJsonDocument>

namespace vesk::manage {

namespace {

namespace key = vesk::status::key;

QString textOf(const QJsonValue& value, qsizetype limit = 100)
{
    return value.isString() ? log::peerText(value.toString(), limit) : QString();
}

} // namespace

RegisterStatusRow statusRow(const QString& name, const std::optional<QJsonObject>& status,
    const QString& error, const DeliveryRecord& record, const QDateTime& now)
{
    RegisterStatusRow row;
    row.name = name;
    if (!status) {
        row.unreadable = error.isEmpty() ? QStringLiteral("no status") : error;
        return row;
    }
    row.alive = vesk::status::looksAlive(*status, now);
    const QJsonObject playing = status->value(key::playing).toObject();
    row.delivery = textOf(playing.value(key::delivery), 16);
    row.applied = textOf(playing.value(key::applied), 40);
    for (const DeliveryRecord::Entry& entry : { record.played, record.sent })
        if (entry.valid() && entry.delivery == row.delivery) {
            row.directory = entry.directory;
            break;
        }
    const QJsonObject sync = status->value(key::sync).toObject();
    row.sync = textOf(sync.value(key::outcome));
    if (sync.contains(key::reason))
        row.sync += QStringLiteral(": ") + textOf(sync.value(key::reason), 200);
    const QJsonObject stream = status->value(key::stream).toObject();
    if (!stream.isEmpty())
        row.stream = QStringLiteral("to %1, %2 datagrams")
                         .arg(textOf(stream.value(key::destination)))
                         .arg(qint64(stream.value(key::datagrams).toDouble()));
    return row;
}

QJsonObject RegisterStatusRow::toJson() const
{
    const auto orNull
        = [](const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    return { { "register", name }, { "unreadable", orNull(unreadable) },
        { "running", unreadable.isEmpty() ? QJsonValue(alive) : QJsonValue() },
        { "delivery", orNull(delivery) }, { "applied", orNull(applied) },
        { "directory", orNull(directory) }, { "sync", orNull(sync) }, { "stream", orNull(stream) },
        { "onLatest", onLatest } };
}

QString RegisterStatusRow::text() const
{
    if (!unreadable.isEmpty())
        return QStringLiteral("%1  unreadable: %2").arg(name, -16).arg(unreadable);
    QString line = QStringLiteral("%1  %2").arg(name, -16).arg(
        delivery.isEmpty() ? QStringLiteral("plays nothing yet") : delivery);
    if (!directory.isEmpty())
        line += QStringLiteral(" from %1").arg(directory);
    if (!applied.isEmpty())
        line += QStringLiteral(" since %1").arg(applied);
    line += QStringLiteral("; sync: %1").arg(sync.isEmpty() ? QStringLiteral("?") : sync);
    if (!stream.isEmpty())
        line += QStringLiteral("; stream %1").arg(stream);
    if (!alive)
        line += QStringLiteral("; its service is not running");
    return line;
}

DeliveryRecord::Entry latestDelivery(const QList<DeliveryRecord>& records)
{
    DeliveryRecord::Entry latest;
    for (const DeliveryRecord& record : records)
        if (record.sent.valid() && (!latest.valid() || record.sent.when > latest.when))
            latest = record.sent;
    return latest;
}

int fleetStatus(
    const QList<StatusTarget>& targets, const QString& stateDirectory, bool json, int parallel)
{
    const DeliveryRecords store(stateDirectory);
    QList<DeliveryRecord> records;
    for (const StatusTarget& target : targets)
        records.append(store.load(target.name));
    const DeliveryRecord::Entry latest = latestDelivery(records);

    QList<std::optional<QJsonObject>> read(targets.size());
    QStringList errors(targets.size());
    forEachParallel(targets.size(), parallel,
        [&](qsizetype i) { read[i] = readStatus(targets[i].target, errors[i]); });
    const QDateTime now = QDateTime::currentDateTime();
    QStringList behind;
    bool unreadable = false;
    bool stopped = false;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        RegisterStatusRow row = statusRow(targets[i].name, read[i], errors[i], records[i], now);
        row.onLatest = latest.valid() && row.delivery == latest.delivery;
        if (!row.onLatest)
            behind << row.name;
        unreadable = unreadable || !row.unreadable.isEmpty();
        stopped = stopped || (row.unreadable.isEmpty() && !row.alive);
        if (json)
            report(QString::fromUtf8(QJsonDocument(row.toJson()).toJson(QJsonDocument::Compact)));
        else
            report(row.text());
    }
    if (json) {
        report(QString::fromUtf8(QJsonDocument(
            QJsonObject {
                { "latest",
                    latest.valid() ? QJsonValue(QJsonObject { { "delivery", latest.delivery },
                        { "directory", latest.directory },
                        { "sent", latest.when.toString(Qt::ISODate) } })
                                   : QJsonValue() },
                { "notOnLatest", QJsonArray::fromStringList(behind) } })
                                     .toJson(QJsonDocument::Compact)));
    } else if (!latest.valid()) {
        report(QStringLiteral("nothing delivered to these registers from here yet"));
    } else {
        const QString newest
            = QStringLiteral("%1 from %2, sent %3")
                  .arg(latest.delivery, latest.directory, latest.when.toString(Qt::ISODate));
        report(behind.isEmpty() ? QStringLiteral("all on the latest delivery, %1").arg(newest)
                                : QStringLiteral("not on the latest delivery (%1): %2")
                                      .arg(newest, behind.join(QStringLiteral(", "))));
    }
    constexpr int notRunning = 1;
    return unreadable ? exitTransport : stopped ? notRunning : exitDone;
}

} // namespace vesk::manage
