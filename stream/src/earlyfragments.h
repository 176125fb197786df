// Internal to libvesk_stream, not API.
#pragma once

#include <vesk/streamdatagram.h>

#include <QByteArray>
#include <QHash>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk::detail {

// Fragments that came before the manifest that lists them, kept until it comes or they expire.
// Nobody has vouched for them yet, so the pool is bounded in all directions: a few candidates per
// (sequence, index), a total, and a time. A full slot or pool refuses the newcomer and never
// evicts a candidate that is already there, so a forged fragment cannot displace the real one
// that came before it.
class EarlyFragments
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        std::size_t maxFragments = 256;
        std::size_t perSlot = 4;
        std::chrono::milliseconds timeout { 500 };
    };

    struct Fragment
    {
        StreamDatagram header;
        StreamDatagram::Digest digest;
        QByteArray datagram;
        Clock::time_point arrived;
    };

    enum class Added { kept, duplicate, refused };

    explicit EarlyFragments(Limits limits)
        : m_limits(limits)
    {
    }

    // A copy of the same datagram already waiting is a duplicate.
    Added add(Fragment fragment);
    // Every candidate for (sequence, index), oldest first; they leave the pool.
    std::vector<Fragment> take(std::uint32_t sequence, std::uint16_t index);
    // Drops the candidates that have waited `timeout` by `now`; returns how many.
    std::size_t expire(Clock::time_point now);
    std::size_t size() const { return m_size; }

private:
    static quint64 slot(std::uint32_t sequence, std::uint16_t index)
    {
        return (quint64(sequence) << 16) | index;
    }

    Limits m_limits;
    QHash<quint64, std::vector<Fragment>> m_slots;
    std::size_t m_size = 0;
    // No candidate arrived before this; expire() has nothing to do until timeout after it.
    Clock::time_point m_oldest = Clock::time_point::max();
};

} // namespace vesk::detail
