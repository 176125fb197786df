// Internal to libvesk_transport, not API.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

namespace vesk::detail {

// The datagram counters a receiver has accepted, as a sliding window below the highest one:
// bit i stands for counter highest - i. A counter is new when it is above the highest, or
// within the window (highest - counter < size) and not yet marked; anything further back is
// taken as seen, since the window no longer remembers it.
//   highest 10000, size 8192: 1809 seen (behind), 1810 new unless marked, 10001 new
template <std::size_t Size> class ReplayWindow
{
public:
    static constexpr std::uint64_t size = Size;

    bool seenBefore(std::uint64_t counter) const
    {
        if (!m_any || counter > m_highest)
            return false;
        const std::uint64_t behind = m_highest - counter;
        return behind >= size || m_seen.test(std::size_t(behind));
    }

    // Only for a counter that seenBefore() called new.
    void mark(std::uint64_t counter)
    {
        if (!m_any) {
            m_any = true;
            m_highest = counter;
            m_seen.reset();
        } else if (counter > m_highest) {
            const std::uint64_t ahead = counter - m_highest;
            if (ahead >= size)
                m_seen.reset();
            else
                m_seen <<= std::size_t(ahead);
            m_highest = counter;
        }
        m_seen.set(std::size_t(m_highest - counter));
    }

private:
    bool m_any = false;
    std::uint64_t m_highest = 0;
    std::bitset<Size> m_seen;
};

} // namespace vesk::detail
