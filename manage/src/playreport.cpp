#include "playreport.h"

#include <vesk/plays/playrecord.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace vesk::manage {

namespace {

// A register's clock off ours by more than this is said beside its plays.
constexpr qint64 clockNoteMs = 60 * 1000;

const std::pair<const char*, const char*> groupColumns[] = { { "day", "p.day" },
    { "register", "l.register" }, { "playlist", "p.playlist" }, { "url", "p.url" } };

const char* const countNames[]
    = { "plays", "seconds", "played", "cut", "failed", "interrupted", "placeholder" };

QSqlQuery query(PlayStore& store, const QString& statement, const QVariantList& values)
{
    QSqlQuery q(store.database());
    q.setForwardOnly(true);
    if (!q.prepare(statement))
        throw StoreError(
            QStringLiteral("cannot read the store: %1").arg(q.lastError().text()).toStdString());
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    if (!q.exec())
        throw StoreError(
            QStringLiteral("cannot read the store: %1").arg(q.lastError().text()).toStdString());
    return q;
}

QList<Report::Group> readGroups(PlayStore& store, const ReportOptions& options)
{
    QStringList keys;
    for (const QString& by : options.by)
        for (const auto& [name, column] : groupColumns)
            if (by == QLatin1String(name))
                keys << QLatin1String(column);
    QString statement
        = QStringLiteral(
            "SELECT %1%2COUNT(*), SUM(p.duration_ms), "
            "SUM(CASE WHEN p.outcome = 'played' THEN 1 ELSE 0 END), "
            "SUM(CASE WHEN p.outcome = 'cut' THEN 1 ELSE 0 END), "
            "SUM(CASE WHEN p.outcome = 'failed' THEN 1 ELSE 0 END), "
            "SUM(CASE WHEN p.outcome = 'interrupted' THEN 1 ELSE 0 END), SUM(p.placeholder) "
            "FROM plays p JOIN ledgers l ON l.ledger = p.ledger WHERE p.day >= ? AND p.day <= ?")
              .arg(keys.join(u", "), keys.isEmpty() ? QString() : QStringLiteral(", "));
    if (!keys.isEmpty())
        statement += QStringLiteral(" GROUP BY %1 ORDER BY %1").arg(keys.join(u", "));
    QSqlQuery q = query(store, statement,
        { options.from ? options.from->toString(Qt::ISODate) : QStringLiteral("0000-00-00"),
            options.to ? options.to->toString(Qt::ISODate) : QStringLiteral("9999-99-99") });
    QList<Report::Group> groups;
    const int n = int(keys.size());
    while (q.next()) {
        Report::Group group;
        for (int i = 0; i < n; ++i)
            group.keys << q.value(i).toString();
        group.plays = q.value(n).toLongLong();
        if (group.plays == 0)
            continue; // no plays at all: one row of nothing, when not grouped
        qint64* counts[] = { &group.milliseconds, &group.played, &group.cut, &group.failed,
            &group.interrupted, &group.placeholder };
        for (int i = 0; i < int(std::size(counts)); ++i)
            *counts[i] = q.value(n + 1 + i).toLongLong();
        groups.append(std::move(group));
    }
    return groups;
}

QList<Report::Gaps> readGaps(PlayStore& store)
{
    QSqlQuery q = query(store,
        QStringLiteral(
            "SELECT l.register, SUM(l.stored), "
            "SUM((SELECT COUNT(*) FROM plays p WHERE p.ledger = l.ledger)), "
            "SUM((SELECT COALESCE(SUM(CASE WHEN g.reason = 'full' THEN g.count ELSE 0 END), 0) "
            "FROM gaps g WHERE g.ledger = l.ledger)), "
            "SUM((SELECT COALESCE(SUM(CASE WHEN g.reason = 'lost' THEN g.count ELSE 0 END), 0) "
            "FROM gaps g WHERE g.ledger = l.ledger)) "
            "FROM ledgers l GROUP BY l.register ORDER BY l.register"),
        {});
    QList<Report::Gaps> gaps;
    while (q.next()) {
        Report::Gaps row { q.value(0).toString(), q.value(3).toLongLong(), q.value(4).toLongLong(),
            0 };
        row.unaccounted = q.value(1).toLongLong() - q.value(2).toLongLong() - row.full - row.lost;
        if (row.full || row.lost || row.unaccounted)
            gaps.append(row);
    }
    return gaps;
}

QString seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1);
}

QStringList cells(const Report::Group& group)
{
    return QStringList(group.keys)
        << QString::number(group.plays) << seconds(group.milliseconds)
        << QString::number(group.played) << QString::number(group.cut)
        << QString::number(group.failed) << QString::number(group.interrupted)
        << QString::number(group.placeholder);
}

QStringList header(const Report& report)
{
    QStringList names = report.by;
    for (const char* name : countNames)
        names << QLatin1String(name);
    return names;
}

QString csvField(QString field)
{
    if (!field.contains(u',') && !field.contains(u'"') && !field.contains(u'\n')
        && !field.contains(u'\r'))
        return field;
    return u'"' + field.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString tableText(const Report& report)
{
    QList<QStringList> rows { header(report) };
    for (const Report::Group& group : report.groups)
        rows << cells(group);
    QList<qsizetype> widths(rows.front().size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    QString text;
    const qsizetype keys = report.by.size();
    for (const QStringList& row : rows) {
        QStringList padded;
        for (qsizetype i = 0; i < row.size(); ++i)
            padded << (i < keys ? row[i].leftJustified(widths[i])
                                : row[i].rightJustified(widths[i]));
        text += padded.join(QStringLiteral("  ")).trimmed() + u'\n';
    }
    if (report.groups.isEmpty())
        text += QStringLiteral("no plays stored for these days\n");
    for (const QString& line : reportNotes(report))
        text += line + u'\n';
    return text;
}

QString csvText(const Report& report)
{
    QString text;
    QList<QStringList> rows { header(report) };
    for (const Report::Group& group : report.groups)
        rows << cells(group);
    for (const QStringList& row : rows) {
        QStringList fields;
        for (const QString& field : row)
            fields << csvField(field);
        text += fields.join(u',') + QStringLiteral("\r\n");
    }
    return text;
}

QString jsonText(const Report& report)
{
    QJsonArray groups;
    for (const Report::Group& group : report.groups) {
        QJsonObject object;
        for (qsizetype i = 0; i < report.by.size(); ++i)
            object.insert(report.by[i], group.keys[i]);
        object.insert("plays", group.plays);
        object.insert("seconds", group.milliseconds / 1000.0);
        object.insert("played", group.played);
        object.insert("cut", group.cut);
        object.insert("failed", group.failed);
        object.insert("interrupted", group.interrupted);
        object.insert("placeholder", group.placeholder);
        groups.append(object);
    }
    QJsonArray gaps;
    for (const Report::Gaps& g : report.gaps)
        gaps.append(QJsonObject { { "register", g.registerName }, { "full", g.full },
            { "lost", g.lost }, { "unaccounted", g.unaccounted } });
    QJsonArray clocks;
    for (const Report::Clock& c : report.clocks)
        clocks.append(QJsonObject { { "register", c.registerName },
            { "offsetSeconds", c.offsetMs / 1000.0 }, { "learnt", plays::isoWithOffset(c.learnt) } });
    return QString::fromUtf8(
               QJsonDocument(QJsonObject { { "by", QJsonArray::fromStringList(report.by) },
                                 { "groups", groups }, { "gaps", gaps }, { "clocks", clocks } })
                   .toJson(QJsonDocument::Compact))
        + u'\n';
}

} // namespace

std::optional<QStringList> ReportOptions::parseGrouping(const QString& text, QString& error)
{
    QStringList by;
    for (const QString& name : text.split(u',')) {
        const bool known = std::any_of(std::begin(groupColumns), std::end(groupColumns),
            [&](const auto& column) { return name == QLatin1String(column.first); });
        if (!known || by.contains(name)) {
            error
                = QStringLiteral("--by takes day, register, playlist and url, each once, not '%1'")
                      .arg(text);
            return std::nullopt;
        }
        by << name;
    }
    return by;
}

Report buildReport(
    PlayStore& store, const ReportOptions& options, const QList<RegisterState>& registers)
{
    Report report;
    report.by = options.by;
    report.groups = readGroups(store, options);
    report.gaps = readGaps(store);
    for (const RegisterState& state : registers)
        if (std::abs(state.clockOffsetMs) > clockNoteMs)
            report.clocks.append({ state.name, state.clockOffsetMs, state.paired });
    return report;
}

QString reportText(const Report& report, ReportOptions::Format format)
{
    switch (format) {
    case ReportOptions::Format::csv:
        return csvText(report);
    case ReportOptions::Format::json:
        return jsonText(report);
    case ReportOptions::Format::table:
        break;
    }
    return tableText(report);
}

QStringList reportNotes(const Report& report)
{
    QStringList lines;
    for (const Report::Gaps& g : report.gaps)
        lines << QStringLiteral("gaps of %1 (all it has been collected for): %2 dropped at its "
                                "ledger's cap, %3 lost in a power cut, %4 unaccounted for")
                     .arg(g.registerName)
                     .arg(g.full)
                     .arg(g.lost)
                     .arg(g.unaccounted);
    for (const Report::Clock& c : report.clocks)
        lines << QStringLiteral("note: %1's clock was %2 s %3 ours at %4; its plays' times are "
                                "its clock's")
                     .arg(c.registerName, seconds(std::abs(c.offsetMs)),
                         c.offsetMs > 0 ? QStringLiteral("ahead of") : QStringLiteral("behind"),
                         plays::isoWithOffset(c.learnt));
    return lines;
}

} // namespace vesk::manage
