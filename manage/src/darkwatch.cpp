#include "darkwatch.h"

#include <QRegularExpression>

namespace vesk::manage {

std::optional<std::chrono::milliseconds> parseDuration(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})(ms|s|m|h)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 count = match.captured(1).toLongLong();
    const QString unit = match.captured(2);
    const qint64 ms = unit == u"ms" ? 1 : unit == u"s" ? 1000 : unit == u"m" ? 60000 : 3600000;
    return std::chrono::milliseconds(count * ms);
}

DarkWatch::DarkWatch(std::chrono::milliseconds darkAfter)
    : m_darkAfter(darkAfter)
{
}

std::optional<DarkWatch::Change> DarkWatch::beat(const HeartbeatTable::Row& row)
{
    Entry& entry = m_entries[row.name];
    const State was = entry.state;
    if (was == State::alive || !row.received)
        return std::nullopt;
    entry = { State::alive, *row.received };
    if (was == State::waiting)
        return std::nullopt;
    return Change { row.name, State::alive, *row.received };
}

QList<DarkWatch::Change> DarkWatch::check(const HeartbeatTable& table, const QDateTime& now)
{
    QList<Change> changes;
    const QList<HeartbeatTable::Row>& rows = table.rows();
    // In place: a fleet of thousands is looked at every second, and costs a lookup a register,
    // not a new table.
    for (qsizetype i = 0; i < rows.size(); ++i) {
        Entry& entry = m_entries[rows[i].name];
        const QDateTime last = rows[i].received.value_or(rows[i].since);
        if (entry.state != State::dark && last.msecsTo(now) >= m_darkAfter.count()) {
            entry = { State::dark, last };
            changes.append({ rows[i].name, State::dark, last, i });
        }
    }
    if (m_entries.size() > rows.size()) {
        QHash<QString, Entry> kept;
        for (const HeartbeatTable::Row& row : rows)
            kept.insert(row.name, m_entries.value(row.name));
        m_entries = std::move(kept);
    }
    return changes;
}

} // namespace vesk::manage
