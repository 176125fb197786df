#include "fleetpage.h"

#include <vesk/protocol/timetext.h>

#include <QSaveFile>

namespace vesk::manage {

namespace {

QString escaped(const QString& text)
{
    return text.toHtmlEscaped().replace(u'\'', QStringLiteral("&#39;"));
}

QString when(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString ago(const QDateTime& time, const QDateTime& now)
{
    const qint64 s = std::max<qint64>(time.secsTo(now), 0);
    if (s < 120)
        return QStringLiteral("%1 s ago").arg(s);
    if (s < 7200)
        return QStringLiteral("%1 min ago").arg(s / 60);
    return QStringLiteral("%1 h ago").arg(s / 3600);
}

QString entryText(const DeliveryRecord::Entry& entry)
{
    return entry.delivery + u' ' + entry.directory + QStringLiteral(" (") + when(entry.when) + u')';
}

QString playedCell(const DeliveryRecord& record)
{
    return record.played.valid() ? entryText(record.played) : QStringLiteral("-");
}

QString sentCell(const DeliveryRecord& record)
{
    if (!record.sent.valid())
        return QStringLiteral("-");
    return entryText(record.sent) + QStringLiteral(": ")
        + (record.outcome.isEmpty() ? QStringLiteral("no verdict") : record.outcome);
}

QString row(const HeartbeatTable& table, const HeartbeatTable::Row& r, const DarkWatch& watch,
    const DeliveryRecord& delivery, const QDateTime& now)
{
    const DarkWatch::Entry entry = watch.entry(r.name);
    const char* state = entry.state == DarkWatch::State::alive ? "alive"
        : entry.state == DarkWatch::State::dark                ? "dark"
                                                               : "waiting";
    const QDateTime since = entry.since.isValid() ? entry.since : r.since;
    const auto offset = r.clockOffsetMs();
    const QStringList cells {
        escaped(r.name),
        QString::fromLatin1(state),
        escaped(when(since) + QStringLiteral(" (") + ago(since, now) + u')'),
        r.received ? escaped(when(*r.received) + QStringLiteral(" from ") + r.from)
                   : QStringLiteral("no beat yet"),
        offset ? QStringLiteral("%1 s").arg(*offset / 1000.0, 0, 'f', 3) : QStringLiteral("-"),
        QStringLiteral("%1 / %2").arg(r.beats).arg(table.missed(r, now)),
        escaped(playedCell(delivery)),
        escaped(sentCell(delivery)),
    };
    return QStringLiteral("<tr class=\"%1\"><td>").arg(QString::fromLatin1(state))
        + cells.join(QStringLiteral("</td><td>")) + QStringLiteral("</td></tr>\n");
}

} // namespace

QString pageHtml(const HeartbeatTable& table, const DarkWatch& watch,
    const QHash<QString, DeliveryRecord>& deliveries, const QDateTime& now,
    std::chrono::seconds refresh)
{
    qsizetype dark = 0;
    QString rows;
    for (const HeartbeatTable::Row& r : table.rows()) {
        dark += watch.entry(r.name).state == DarkWatch::State::dark;
        rows += row(table, r, watch, deliveries.value(r.name), now);
    }
    return QStringLiteral(
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
               "<meta http-equiv=\"refresh\" content=\"%1\">\n<title>vesk fleet</title>\n"
               "<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
               "td,th{border:1px solid #bbb;padding:.2em .5em;text-align:left}"
               "tr.dark td{background:#f6c6c6}tr.waiting td{background:#eee}"
               "tr.alive td:nth-child(2){color:#075}</style></head><body>\n"
               "<h1>vesk fleet</h1>\n<p id=\"summary\">%2 registers, %3 dark; as of %4; dark "
               "after %5 s without a beat.</p>\n<table>\n<tr><th>register</th><th>state</th>"
               "<th>since</th><th>last beat</th><th>clock</th><th>beats / missed</th>"
               "<th>plays</th><th>last delivery</th></tr>\n")
               .arg(refresh.count())
               .arg(table.rows().size())
               .arg(dark)
               .arg(escaped(vesk::protocol::wireTime(now)))
               .arg(watch.darkAfter().count() / 1000.0)
        + rows + QStringLiteral("</table>\n</body></html>\n");
}

QHash<QString, DeliveryRecord> deliveriesOf(
    const HeartbeatTable& table, const DeliveryRecords& records)
{
    QHash<QString, DeliveryRecord> deliveries;
    for (const HeartbeatTable::Row& r : table.rows()) {
        DeliveryRecord record = records.load(r.name);
        if (record.sent.valid() || record.played.valid())
            deliveries.insert(r.name, std::move(record));
    }
    return deliveries;
}

bool writePage(const QString& path, const QString& html, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    file.write(html.toUtf8());
    if (!file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace vesk::manage
