// Private to vesk-schedule, not API: the daily totals of --summary.
#pragma once

#include "dayvisitor.h"

#include <QStringList>

#include <vector>

namespace vesk::schedule {

// Per day, how long each playlist is on screen and how long nothing is scheduled, and when:
//
//   date        day  hours     main      noon     idle     idle spans
//   2026-10-25  Sun  25:00:00  13:00:00  0:00:00  12:00:00 00:00-08:00 21:00-24:00
//
// "hours" is the part of the day inside the range, so on the days the clock changes a whole day
// reads 23:00:00 or 25:00:00; the other columns add up to it. Columns come in the order of the
// generator's playlists.
class ScheduleSummary : public DayVisitor
{
public:
    explicit ScheduleSummary(const Generator::States& states);

    void beginDay(const Day& day) override;
    void piece(const Day& day, const Piece& piece) override;
    void endDay(const Day& day) override;

    // The table, columns aligned, one line per day after the header.
    QString text() const;

private:
    std::size_t m_playlists;
    QList<QStringList> m_rows;
    std::vector<qint64> m_onScreen;
    QStringList m_idleSpans;
};

} // namespace vesk::schedule
