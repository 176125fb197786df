// Internal to libvesk_stream, not API.
#pragma once

#include <vesk/pointer.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace vesk::detail {

// Puts the packets of a file's tracks into the order in which they are sent. A file stores its
// tracks in chunks of its own choosing; the interleaver holds what was read until every track has
// a packet queued, so that each packet goes out by its due time rather than by its place in the
// file. A track that has nothing queued while another is `lag` ahead counts as silent for now, and
// the queue never holds more than its limits: a file that stores its tracks far apart costs
// lateness, not memory.
//
// A track may be sent in batches: a batch goes out when its first packet is due and carries the
// packets of that track due within `window` after it, at most `batchPackets` (sound, whose packets
// are small and many, travels in a few messages a second this way, a little early). With a window
// of 0 every packet goes out when it is due.
class StreamInterleaver
{
public:
    using Steady = std::chrono::steady_clock;

    struct Limits
    {
        std::chrono::microseconds lag { 2000000 };
        std::size_t maxPackets = 2048;
        std::int64_t maxBytes = 16 * 1024 * 1024;
    };

    struct Entry
    {
        std::size_t track = 0;
        PacketPointer packet;
        Steady::time_point due;
        // When it goes out: `due`, or earlier as part of a batch.
        Steady::time_point sendAt;
    };

    // One window per track, in the order of the tracks.
    StreamInterleaver(std::vector<std::chrono::microseconds> windows, std::size_t batchPackets,
        const Limits& limits);

    void push(std::size_t track, PacketPointer packet, Steady::time_point due);
    // The input ended: what is queued may go out. restart() when it starts again (a new pass).
    void end() { m_ended = true; }
    void restart() { m_ended = false; }
    // The next packet in send order is known.
    bool ready() const;
    // The packet to send next: the earliest sendAt, the first track before the others on a tie.
    // Nothing when the queue is empty; before ready() it gives what it has.
    std::optional<Entry> pop();
    bool empty() const { return m_queued == 0; }

private:
    struct Track
    {
        std::chrono::microseconds window;
        std::deque<Entry> queue;
        // The batch being filled: when it goes out, its first packet's due time and its size.
        Steady::time_point batchSendAt;
        std::size_t batchSize = 0;
    };

    std::vector<Track> m_tracks;
    std::size_t m_batchPackets;
    Limits m_limits;
    std::size_t m_queued = 0;
    std::int64_t m_bytes = 0;
    bool m_ended = false;
};

} // namespace vesk::detail
