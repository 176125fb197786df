// Internal to libvesk_stream, not API.
#pragma once

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/rational.h>
}

#include <chrono>
#include <cstdint>
#include <optional>

namespace vesk::detail {

// Ties the time stamps of one file to the steady clock and loops a file shorter than its slot:
// each pass after the first is moved behind the previous one, so that time stamps keep growing.
// Joining a slot after the file's end starts in the pass that plays now, rather than sending the
// passes before it at once. Pure arithmetic: it reads no clock.
class StreamPacer
{
public:
    using Steady = std::chrono::steady_clock;

    struct Timing
    {
        AVRational timeBase { 1, 90000 };
        // The file's first time stamp.
        std::int64_t origin = 0;
        // Length of one pass; 0 when the file does not say.
        std::int64_t fileTicks = 0;
        // Length of a packet that does not say, at least 1.
        std::int64_t frameTicks = 1;
    };

    // `position` is how far into the slot playback starts, `anchor` the clock time at which that
    // position plays.
    StreamPacer(
        const Timing& timing, std::chrono::milliseconds position, Steady::time_point anchor);

    // The time stamp to seek to (the key frame at or before it) before the first packet; nothing
    // when playback starts at the slot's beginning.
    std::optional<std::int64_t> seekTarget() const;
    // Moves the packet's time stamps into the current pass and returns when it is due.
    Steady::time_point place(AVPacket* packet);
    // The file ended: the next packet begins a new pass behind the last one. False when the pass
    // that ended gave nothing to loop on.
    bool nextPass();

private:
    Timing m_timing;
    std::chrono::milliseconds m_position;
    Steady::time_point m_anchor;
    std::int64_t m_reference;
    std::int64_t m_shift;
    std::int64_t m_lastEnd;
    std::int64_t m_passPackets = 0;
    std::optional<std::int64_t> m_nextPassStart;
};

} // namespace vesk::detail
