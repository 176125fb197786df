// Private to libvesk_playlist, not API: the local wall clock as the generator sees it.
#pragma once

#include <QtGlobal>

#include <unordered_map>
#include <vector>

namespace vesk::detail {

inline constexpr qint64 msPerDay = 86'400'000;
// QDate::toJulianDay() of 1970-01-01.
inline constexpr qint64 epochJulianDay = 2'440'588;

// Rounds towards negative infinity, for instants and wall times before 1970.
inline constexpr qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Wall times are milliseconds counted as if the local time zone were UTC: the wall time of an
// instant t is t plus the zone's offset at t. The date of a wall time w is the Julian day
// floorDiv(w, msPerDay) + epochJulianDay.
//
// The schedule is laid out on the wall clock, but the clock jumps: forward when daylight saving
// time starts (a skipped hour) and backward when it ends (a repeated hour). The generator uses
// the schedule clock instead, the highest wall time shown so far: it equals the wall clock except
// during a repeated hour, when it waits until the wall clock catches up. It never goes back, so a
// window of wall times maps to exactly one interval of instants, from the first instant the clock
// shows its start to the first instant it shows its end, and a window inside a skipped hour maps to
// an empty interval.
//
// One clock serves one computation: it learns the zone's transitions near `centre` once, and asks
// the C library for anything farther away.
class LocalClock
{
public:
    // Remembers instants of wall times far from the centre (an open rotation starts in 1970)
    // across computations; valid while TZ stays the same.
    using FarCache = std::unordered_map<qint64, qint64>;

    // The generator looks at most nine days before or after a request.
    static constexpr qint64 nearSpan = 9 * msPerDay;

    explicit LocalClock(qint64 centre, qint64 span = nearSpan, FarCache* cache = nullptr);

    // The zone's offset from UTC at instant t, in milliseconds.
    qint64 offsetAt(qint64 t) const;
    // The schedule clock at instant t: the highest wall time shown at or before t.
    qint64 scheduleWall(qint64 t) const;
    // The first instant at which the wall clock shows w or later.
    qint64 instantOf(qint64 w) const;

    static qint64 offsetFromLibc(qint64 t);

private:
    struct Piece
    {
        qint64 from;
        qint64 offset;
    };

    bool instantInRange(qint64 w, qint64& result) const;
    void findTransitions(qint64 from, qint64 fromOffset, qint64 to, qint64 toOffset);

    qint64 m_low;
    qint64 m_high;
    // Constant-offset stretches in time order; the first starts at m_low, the last ends at m_high.
    std::vector<Piece> m_pieces;
    FarCache* m_cache;
};

} // namespace vesk::detail
