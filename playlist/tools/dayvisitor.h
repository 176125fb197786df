// Private to vesk-schedule, not API: the schedule of a range of instants, cut at local midnights,
// as the picture and the daily totals both read it.
#pragma once

#include <vesk/playlist/generator.h>

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

namespace vesk::schedule {

inline constexpr qint64 msPerHour = 3'600'000;

// One local date of the range. A day lasts from the first instant of its date to the first
// instant of the next one: 24 hours, or 23 and 25 on the days the clock changes. Instants are
// milliseconds since the epoch.
struct Day
{
    QDate date;
    qint64 start = 0;
    qint64 end = 0;
    // The part of the range on this day: start <= from < to <= end.
    qint64 from = 0;
    qint64 to = 0;
};

// One slot as the generator answered it, or the part of it that falls on one day.
struct Piece
{
    Generator::Item slot;
    qint64 from = 0;
    qint64 to = 0;
    // Index into Generator::states(); -1 for an idle span.
    int playlist = -1;
    // The same number for consecutive slots of one rotation (the same playlists sharing the
    // screen); a new number whenever that set changes.
    quint64 rotation = 0;
};

// Receives a walk over the days of a range (walkDays): for each day in order, beginDay, the
// pieces of that day in time order (each at least one millisecond long), endDay.
class DayVisitor
{
public:
    virtual ~DayVisitor() = default;
    virtual void beginDay(const Day& day) = 0;
    virtual void piece(const Day& day, const Piece& piece) = 0;
    virtual void endDay(const Day& day) = 0;
};

// The local days that [from, to) touches, in order; to must be later than from.
QList<Day> daysBetween(const QDateTime& from, const QDateTime& to);

// Asks the generator for every slot that overlaps [from, to) and hands them to the visitor, cut
// at the days' borders and at the ends of the range.
void walkDays(
    Generator& generator, const QDateTime& from, const QDateTime& to, DayVisitor& visitor);

// An instant as ISO 8601 with its UTC offset, so that the hour repeated when daylight saving time
// ends is told apart.
QString stamp(const QDateTime& t);
QString stamp(qint64 t);

// A duration as H:MM:SS, hours counted on past 24.
QString duration(qint64 ms);

// The wall-clock time of an instant on a day, HH:MM (HH:MM:SS when the seconds are not 0); the
// day's end reads 24:00.
QString wallTime(const Day& day, qint64 t);

} // namespace vesk::schedule
