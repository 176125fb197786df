#include "localclock.h"

#include <algorithm>
#include <ctime>

namespace vesk::detail {

namespace {
constexpr int samples = 7;
constexpr qint64 msPerSecond = 1000;
} // namespace

LocalClock::LocalClock(qint64 centre, qint64 span, FarCache* cache)
    : m_low(centre - span)
    , m_high(centre + span)
    , m_cache(cache)
{
    // Picks up a change of TZ, as Qt does before each conversion.
    tzset();
    const qint64 step = (m_high - m_low) / (samples - 1);
    qint64 previous = m_low;
    qint64 previousOffset = offsetFromLibc(m_low);
    m_pieces.push_back({ m_low, previousOffset });
    // Real zones change their offset at most twice a year, and never twice within a few days, so
    // samples a few days apart find every transition.
    for (int i = 1; i < samples; ++i) {
        const qint64 at = i == samples - 1 ? m_high : m_low + i * step;
        const qint64 offset = offsetFromLibc(at);
        if (offset != previousOffset) {
            findTransitions(previous, previousOffset, at, offset);
        }
        previous = at;
        previousOffset = offset;
    }
}

qint64 LocalClock::offsetFromLibc(qint64 t)
{
    const time_t seconds = static_cast<time_t>(floorDiv(t, msPerSecond));
    tm broken {};
    if (!localtime_r(&seconds, &broken)) {
        return 0;
    }
    return static_cast<qint64>(broken.tm_gmtoff) * msPerSecond;
}

void LocalClock::findTransitions(qint64 from, qint64 fromOffset, qint64 to, qint64 toOffset)
{
    // Offsets change on whole seconds: bisect on seconds for the first one with a new offset.
    while (fromOffset != toOffset) {
        qint64 low = floorDiv(from, msPerSecond);
        qint64 high = floorDiv(to, msPerSecond);
        while (high - low > 1) {
            const qint64 middle = low + (high - low) / 2;
            if (offsetFromLibc(middle * msPerSecond) == fromOffset) {
                low = middle;
            } else {
                high = middle;
            }
        }
        const qint64 transition = high * msPerSecond;
        const qint64 offset = offsetFromLibc(transition);
        m_pieces.push_back({ transition, offset });
        from = transition;
        fromOffset = offset;
    }
}

qint64 LocalClock::offsetAt(qint64 t) const
{
    if (t < m_low || t > m_high) {
        return offsetFromLibc(t);
    }
    qint64 offset = m_pieces.front().offset;
    for (const Piece& piece : m_pieces) {
        if (piece.from > t) {
            break;
        }
        offset = piece.offset;
    }
    return offset;
}

qint64 LocalClock::scheduleWall(qint64 t) const
{
    // Clocks are never set back by a day or more, so only the last day can hold a higher wall time.
    if (t - msPerDay < m_low || t > m_high) {
        return LocalClock(t, 2 * msPerDay).scheduleWall(t);
    }
    qint64 wall = t + offsetAt(t);
    for (std::size_t i = 1; i < m_pieces.size(); ++i) {
        const qint64 from = m_pieces[i].from;
        if (from > t - msPerDay && from <= t) {
            wall = std::max(wall, from - 1 + m_pieces[i - 1].offset);
        }
    }
    return wall;
}

bool LocalClock::instantInRange(qint64 w, qint64& result) const
{
    bool found = false;
    for (std::size_t i = 0; i < m_pieces.size(); ++i) {
        const qint64 begin = m_pieces[i].from;
        const qint64 end = i + 1 < m_pieces.size() ? m_pieces[i + 1].from : m_high + 1;
        const qint64 candidate = std::max(begin, w - m_pieces[i].offset);
        if (candidate < end && (!found || candidate < result)) {
            result = candidate;
            found = true;
        }
    }
    // Before m_low the clock is unknown; a day's margin covers any setting back.
    return found && result >= m_low + msPerDay;
}

qint64 LocalClock::instantOf(qint64 w) const
{
    qint64 result = 0;
    if (instantInRange(w, result)) {
        return result;
    }
    if (m_cache) {
        if (const auto known = m_cache->find(w); known != m_cache->end()) {
            return known->second;
        }
    }
    const qint64 guess = w - offsetFromLibc(w);
    if (!LocalClock(guess, 2 * msPerDay).instantInRange(w, result)) {
        result = w - offsetFromLibc(guess);
    }
    if (m_cache) {
        // A handful of far boundaries per playlist; the bound only guards against surprises.
        if (m_cache->size() >= 4096) {
            m_cache->clear();
        }
        m_cache->emplace(w, result);
    }
    return result;
}

} // namespace vesk::detail
