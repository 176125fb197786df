#include "schedulesummary.h"

#include <QLocale>

namespace vesk::schedule {

ScheduleSummary::ScheduleSummary(const Generator::States& states)
    : m_playlists(states.size())
{
    QStringList header { QStringLiteral("date"), QStringLiteral("day"), QStringLiteral("hours") };
    for (const Generator::PlaylistState& state : states) {
        header.append(QString::fromUtf8(state.playlist.section));
    }
    header << QStringLiteral("idle") << QStringLiteral("idle spans");
    m_rows.append(header);
}

void ScheduleSummary::beginDay(const Day&)
{
    // The last slot holds the idle time.
    m_onScreen.assign(m_playlists + 1, 0);
    m_idleSpans.clear();
}

void ScheduleSummary::piece(const Day& day, const Piece& piece)
{
    if (piece.playlist >= 0) {
        m_onScreen[std::size_t(piece.playlist)] += piece.to - piece.from;
        return;
    }
    m_onScreen.back() += piece.to - piece.from;
    m_idleSpans.append(wallTime(day, piece.from) + '-' + wallTime(day, piece.to));
}

void ScheduleSummary::endDay(const Day& day)
{
    QStringList row { day.date.toString(Qt::ISODate),
        QLocale::c().dayName(day.date.dayOfWeek(), QLocale::ShortFormat),
        duration(day.to - day.from) };
    for (const qint64 ms : m_onScreen) {
        row.append(duration(ms));
    }
    row.append(m_idleSpans.join(' '));
    m_rows.append(row);
}

QString ScheduleSummary::text() const
{
    QList<qsizetype> widths(m_rows.front().size(), 0);
    for (const QStringList& row : m_rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    QString text;
    for (const QStringList& row : m_rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        }
        text += line.trimmed() + '\n';
    }
    return text;
}

} // namespace vesk::schedule
