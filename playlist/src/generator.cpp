#include <vesk/playlist/generator.h>

#include "localclock.h"

#include <vesk/log.h>

#include <algorithm>

namespace vesk {

using detail::epochJulianDay;
using detail::floorDiv;
using detail::LocalClock;
using detail::msPerDay;

namespace {

constexpr qint64 msPerSecond = 1000;
// Far beyond any real campaign, small enough that no sum of durations in milliseconds overflows.
constexpr std::chrono::seconds longestFile { 1'000'000'000 };
// Searches for the next start or the last end look this many days ahead or back: any seven
// consecutive days within the dates hold an active day.
constexpr qint64 searchDays = 8;

const QDate openStart(1970, 1, 1);
const QDate openEnd(2200, 1, 1);

// A window of wall times [start, end).
struct Window
{
    qint64 start;
    qint64 end;
};

// The daily windows of a state, laid out on the wall clock (see LocalClock). On an active day D,
// with st and et the start and end time and et* the end time with 00:00 read as 24:00:
//   all day              [D 00:00, D+1 00:00)
//   st < et*             [D st, D et*)
//   crossing midnight    [D 00:00, D et) and [D st, D+1 00:00)
// Pieces that touch merge into one window: consecutive all-day days form one window (from the
// first day for a state active every day), and the evening part of a window that crosses midnight
// runs on to et of the following day when that day is active.
class WallSchedule
{
public:
    explicit WallSchedule(const Generator::PlaylistState& state)
        : m_state(state)
        , m_firstDay(state.playlist.startdate.toJulianDay())
        , m_lastDay(state.playlist.enddate.toJulianDay())
        , m_days(state.playlist.days.toInt() & Playlist::everyDay)
        , m_startTime(state.playlist.starttime.msecsSinceStartOfDay())
        , m_endTime(state.playlist.endtime.msecsSinceStartOfDay())
        , m_endTimeOfDay(m_endTime == 0 ? msPerDay : m_endTime)
    {
    }

    bool dayActive(qint64 day) const
    {
        // Julian day 0 was a Monday, so day % 7 counts from Monday as the bits of WeekDays do.
        return day >= m_firstDay && day <= m_lastDay && (m_days >> (day % 7) & 1);
    }

    bool active(qint64 wall) const
    {
        const qint64 day = dayOf(wall);
        if (!dayActive(day)) {
            return false;
        }
        const qint64 time = wall - base(day);
        if (m_state.allDay) {
            return true;
        }
        if (m_state.crossesMidnight) {
            return time >= m_startTime || time < m_endTime;
        }
        return time >= m_startTime && time < m_endTimeOfDay;
    }

    // The window holding an active wall time.
    Window windowAt(qint64 wall) const
    {
        const qint64 day = dayOf(wall);
        if (m_state.allDay) {
            if (m_days == Playlist::everyDay) {
                return { base(m_firstDay), base(m_lastDay + 1) };
            }
            qint64 first = day;
            while (first > day - 6 && dayActive(first - 1)) {
                --first;
            }
            qint64 last = day;
            while (last < day + 6 && dayActive(last + 1)) {
                ++last;
            }
            return { base(first), base(last + 1) };
        }
        if (m_state.crossesMidnight) {
            if (wall - base(day) < m_endTime) {
                return { dayActive(day - 1) ? base(day - 1) + m_startTime : base(day),
                    base(day) + m_endTime };
            }
            return { base(day) + m_startTime,
                dayActive(day + 1) ? base(day + 1) + m_endTime : base(day + 1) };
        }
        return { base(day) + m_startTime, base(day) + m_endTimeOfDay };
    }

    // The first window start at or after a wall time, if any.
    std::optional<qint64> nextStart(qint64 wall) const
    {
        const qint64 from = std::max(dayOf(wall), m_firstDay);
        const qint64 to = std::min(from + searchDays, m_lastDay);
        for (qint64 day = from; day <= to; ++day) {
            if (!dayActive(day)) {
                continue;
            }
            qint64 starts[2];
            int count = 0;
            if (m_state.allDay || m_state.crossesMidnight) {
                if (!dayActive(day - 1)) {
                    starts[count++] = base(day);
                }
            }
            if (!m_state.allDay) {
                starts[count++] = base(day) + m_startTime;
            }
            for (int i = 0; i < count; ++i) {
                if (starts[i] >= wall) {
                    return starts[i];
                }
            }
        }
        return std::nullopt;
    }

    // The last window end at or before a wall time, if any.
    std::optional<qint64> previousEnd(qint64 wall) const
    {
        const qint64 from = std::min(dayOf(wall), m_lastDay);
        const qint64 to = std::max(from - searchDays, m_firstDay);
        for (qint64 day = from; day >= to; --day) {
            if (!dayActive(day)) {
                continue;
            }
            // Latest first.
            qint64 ends[2];
            int count = 0;
            if (m_state.allDay || m_state.crossesMidnight) {
                if (!dayActive(day + 1)) {
                    ends[count++] = base(day + 1);
                }
            }
            if (m_state.crossesMidnight) {
                ends[count++] = base(day) + m_endTime;
            } else if (!m_state.allDay) {
                ends[count++] = base(day) + m_endTimeOfDay;
            }
            for (int i = 0; i < count; ++i) {
                if (ends[i] <= wall) {
                    return ends[i];
                }
            }
        }
        return std::nullopt;
    }

    static qint64 dayOf(qint64 wall) { return floorDiv(wall, msPerDay) + epochJulianDay; }
    static qint64 base(qint64 day) { return (day - epochJulianDay) * msPerDay; }

private:
    const Generator::PlaylistState& m_state;
    const qint64 m_firstDay;
    const qint64 m_lastDay;
    const int m_days;
    const qint64 m_startTime;
    const qint64 m_endTime;
    const qint64 m_endTimeOfDay;
};

// The operations of a state on instants (milliseconds since the epoch), through the schedule
// clock; each takes the clock of the computation it serves.
bool activeAt(const Generator::PlaylistState& state, const LocalClock& clock, qint64 t)
{
    return WallSchedule(state).active(clock.scheduleWall(t));
}

Window instantWindowAt(const Generator::PlaylistState& state, const LocalClock& clock, qint64 t)
{
    const Window wall = WallSchedule(state).windowAt(clock.scheduleWall(t));
    return { clock.instantOf(wall.start), clock.instantOf(wall.end) };
}

// The first window start after t. A window inside a skipped hour starts and ends on the same
// instant; it is a start all the same, the one instant where such a window can be noticed.
std::optional<qint64> nextStartAfter(
    const Generator::PlaylistState& state, const LocalClock& clock, qint64 t)
{
    const WallSchedule schedule(state);
    std::optional<qint64> wall = schedule.nextStart(clock.scheduleWall(t));
    // Windows whose start maps to t or before (t inside an empty window's instant) are passed.
    for (int guard = 0; wall && guard < 4; ++guard) {
        const qint64 start = clock.instantOf(*wall);
        if (start > t) {
            return start;
        }
        wall = schedule.nextStart(*wall + 1);
    }
    return std::nullopt;
}

std::optional<qint64> previousEndAt(
    const Generator::PlaylistState& state, const LocalClock& clock, qint64 t)
{
    const std::optional<qint64> wall = WallSchedule(state).previousEnd(clock.scheduleWall(t));
    if (!wall) {
        return std::nullopt;
    }
    return clock.instantOf(*wall);
}

QDateTime toDateTime(std::optional<qint64> ms)
{
    return ms ? QDateTime::fromMSecsSinceEpoch(*ms) : QDateTime();
}

qint64 milliseconds(std::chrono::seconds duration)
{
    return duration.count() * msPerSecond;
}

} // namespace

bool Generator::PlaylistState::isActive(const QDate& date) const
{
    return WallSchedule(*this).dayActive(date.toJulianDay());
}

bool Generator::PlaylistState::isActive(const QDateTime& t) const
{
    const qint64 ms = t.toMSecsSinceEpoch();
    return activeAt(*this, LocalClock(ms), ms);
}

QDateTime Generator::PlaylistState::startFor(const QDateTime& t) const
{
    const qint64 ms = t.toMSecsSinceEpoch();
    return QDateTime::fromMSecsSinceEpoch(instantWindowAt(*this, LocalClock(ms), ms).start);
}

QDateTime Generator::PlaylistState::endForStart(const QDateTime& s) const
{
    const qint64 ms = s.toMSecsSinceEpoch();
    return QDateTime::fromMSecsSinceEpoch(instantWindowAt(*this, LocalClock(ms), ms).end);
}

QDateTime Generator::PlaylistState::nextStartFrom(const QDateTime& t) const
{
    // "At or after t": a window starting exactly at t is found by looking after t - 1 ms.
    const qint64 ms = t.toMSecsSinceEpoch();
    return toDateTime(nextStartAfter(*this, LocalClock(ms), ms - 1));
}

QDateTime Generator::PlaylistState::previousEnd(const QDateTime& t) const
{
    const qint64 ms = t.toMSecsSinceEpoch();
    return toDateTime(previousEndAt(*this, LocalClock(ms), ms));
}

Generator::Generator()
    : m_logger(log::Manager::logger("vesk.playlist.generator"))
    , m_current(m_states.end())
{
}

Generator::~Generator() = default;

void Generator::setPlaylists(const QList<Playlist>& playlists)
{
    m_states.clear();
    m_states.reserve(playlists.size());
    m_farInstants.clear();
    for (const Playlist& playlist : playlists) {
        PlaylistState state;
        state.playlist = playlist;
        const QString section = QString::fromUtf8(playlist.section);

        std::chrono::seconds total { 0 };
        for (Playlist::File& file : state.playlist.files) {
            if (file.timeplay < std::chrono::seconds::zero()) {
                m_logger->warn(
                    "  отрицательная длительность файла %1 в плейлисте '%2' - считается 0сек",
                    QString::fromUtf8(file.section), section);
                file.timeplay = std::chrono::seconds::zero();
            }
            file.timeplay = std::min(file.timeplay, longestFile);
            total += file.timeplay;
        }

        if (playlist.startdate.isValid() && playlist.enddate.isValid()
            && playlist.enddate < playlist.startdate) {
            m_logger->warn("Плейлист '%1' заканчивается раньше чем начинается - пропуск", section);
            continue;
        }
        if (playlist.days.toInt() == 0) {
            m_logger->warn("Плейлист '%1' не имеет дней недели - пропуск", section);
            continue;
        }
        if (total == std::chrono::seconds::zero()) {
            m_logger->warn("Плейлист '%1' имеет длительность 0сек - пропуск", section);
            continue;
        }

        Playlist& copy = state.playlist;
        if (copy.starttime.isNull() || !copy.starttime.isValid()) {
            copy.starttime = QTime(0, 0);
        }
        if (copy.endtime.isNull() || !copy.endtime.isValid()) {
            copy.endtime = QTime(0, 0);
        }
        if (!copy.startdate.isValid()) {
            copy.startdate = openStart;
        }
        if (!copy.enddate.isValid()) {
            copy.enddate = openEnd;
        }
        if (copy.starttime == copy.endtime) {
            copy.starttime = QTime(0, 0);
            copy.endtime = QTime(0, 0);
            state.allDay = true;
        }
        const int endOfDay
            = copy.endtime == QTime(0, 0) ? msPerDay : copy.endtime.msecsSinceStartOfDay();
        state.crossesMidnight = !state.allDay && endOfDay < copy.starttime.msecsSinceStartOfDay();
        state.totalDuration = total;
        state.selected = false;
        state.currentFile = copy.files.size();
        m_states.push_back(std::move(state));
    }
    m_current = m_states.end();
    m_border = m_lastEnd;
}

std::optional<int> Generator::findActivePriority(const QDateTime& t, bool selectedOnly) const
{
    const qint64 ms = t.toMSecsSinceEpoch();
    const LocalClock clock(ms);
    std::optional<int> top;
    for (const PlaylistState& state : m_states) {
        if ((!selectedOnly || state.selected) && activeAt(state, clock, ms)
            && (!top || state.playlist.priority > *top)) {
            top = state.playlist.priority;
        }
    }
    return top;
}

Generator::States::iterator Generator::findNextActivePlaylist(States::iterator from)
{
    const auto selected = [](const PlaylistState& state) { return state.selected; };
    auto found = std::find_if(from, m_states.end(), selected);
    if (found != m_states.end()) {
        return found;
    }
    found = std::find_if(m_states.begin(), from, selected);
    return found != from ? found : m_states.end();
}

Generator::Item Generator::next(const QDateTime& t)
{
    const qint64 now = t.toMSecsSinceEpoch();
    if (m_lastEnd && now == *m_lastEnd && m_border && now != *m_border
        && m_current != m_states.end()) {
        if (++m_current->currentFile >= m_current->playlist.files.size()) {
            m_current = findNextActivePlaylist(m_current + 1);
            m_current->currentFile = 0;
        }
        const Playlist::File& file = m_current->playlist.files.at(m_current->currentFile);
        const qint64 end = std::min(now + milliseconds(file.timeplay), *m_border);
        m_lastEnd = end;
        return { t, QDateTime::fromMSecsSinceEpoch(end), &m_current->playlist, &file };
    }
    return computeBorders(t);
}

Generator::Item Generator::computeBorders(const QDateTime& t)
{
    const qint64 now = t.toMSecsSinceEpoch();
    const LocalClock clock(now, LocalClock::nearSpan, &m_farInstants);
    m_lastEnd.reset();
    m_border.reset();
    m_current = m_states.end();

    // The rotation start: the latest window start of the rotation's members and window end of the
    // playlists that could have displaced them.
    std::optional<qint64> rotationStart;
    std::optional<qint64> border;
    const auto later = [&rotationStart](std::optional<qint64> value) {
        if (value && (!rotationStart || *value > *rotationStart)) {
            rotationStart = value;
        }
    };
    const auto earlier = [&border](std::optional<qint64> value) {
        if (value && (!border || *value < *border)) {
            border = value;
        }
    };

    std::vector<bool> active(m_states.size());
    std::optional<int> top;
    for (std::size_t i = 0; i < m_states.size(); ++i) {
        active[i] = activeAt(m_states[i], clock, now);
        if (active[i] && (!top || m_states[i].playlist.priority > *top)) {
            top = m_states[i].playlist.priority;
        }
    }

    if (!top) {
        for (PlaylistState& state : m_states) {
            state.selected = false;
            earlier(nextStartAfter(state, clock, now));
            later(previousEndAt(state, clock, now));
        }
        // Before the epoch (a clock never set) the span can only begin at the request itself.
        qint64 start = std::min(rotationStart.value_or(0), now);
        qint64 end = border.value_or(clock.instantOf(WallSchedule::base(openEnd.toJulianDay())));
        // Past the far end of every schedule: spans of a day counted from the last end, so that
        // an answer still holds the request and the next one follows on at its end.
        if (end <= now) {
            start += (now - start) / msPerDay * msPerDay;
            end = start + msPerDay;
        }
        m_border = end;
        m_lastEnd = end;
        return { QDateTime::fromMSecsSinceEpoch(start), QDateTime::fromMSecsSinceEpoch(end) };
    }

    qint64 cycle = 0;
    for (std::size_t i = 0; i < m_states.size(); ++i) {
        PlaylistState& state = m_states[i];
        if (active[i] && state.playlist.priority == *top) {
            state.selected = true;
            const Window window = instantWindowAt(state, clock, now);
            later(window.start);
            earlier(window.end);
            cycle += milliseconds(state.totalDuration);
            continue;
        }
        state.selected = false;
        if (state.playlist.priority < *top) {
            continue;
        }
        earlier(nextStartAfter(state, clock, now));
        later(previousEndAt(state, clock, now));
    }

    // Whole cycles are skipped with one division: an open all-day rotation began in 1970.
    qint64 start = *rotationStart;
    qint64 elapsed = now - start;
    if (elapsed > cycle) {
        start += elapsed - elapsed % cycle;
        elapsed %= cycle;
    }
    m_current = findNextActivePlaylist(m_states.end());
    while (elapsed >= milliseconds(m_current->totalDuration)) {
        start += milliseconds(m_current->totalDuration);
        elapsed -= milliseconds(m_current->totalDuration);
        m_current = findNextActivePlaylist(m_current + 1);
    }
    const QList<Playlist::File>& files = m_current->playlist.files;
    qsizetype index = 0;
    while (elapsed >= milliseconds(files.at(index).timeplay)) {
        start += milliseconds(files.at(index).timeplay);
        elapsed -= milliseconds(files.at(index).timeplay);
        ++index;
    }
    m_current->currentFile = index;

    const qint64 end = std::min(start + milliseconds(files.at(index).timeplay), *border);
    m_border = border;
    m_lastEnd = end;
    return { QDateTime::fromMSecsSinceEpoch(start), QDateTime::fromMSecsSinceEpoch(end),
        &m_current->playlist, &files.at(index) };
}

} // namespace vesk
