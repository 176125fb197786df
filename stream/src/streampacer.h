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

// Ties the time stamps of one file, all its tracks in one time line, to the steady clock, and
// plays the file in whole passes: a pass begins only when it ends before the slot does, so a file
// that fits its slot plays once per pass, every packet of it, and nothing of a pass that would be
// cut off at the slot's end is sent. Each pass after the first is moved behind the previous one,
// all tracks by the same amount, so that time stamps keep growing and the tracks stay in step.
// Joining a slot after the file's first pass starts in the pass that plays now, or sends nothing
// when that pass does not fit. Pure arithmetic: it reads no clock.
class StreamPacer
{
public:
    using Steady = std::chrono::steady_clock;

    // A pass may end this much after the slot and still count as fitting: the tracks of a file
    // rarely end on the same tick (an audio frame, the encoder's padding), and a file made for
    // its slot must not lose its last picture or its last sound to that.
    static constexpr std::chrono::microseconds slack { 100000 };

    struct Timing
    {
        // The leading track's first time stamp, in microseconds.
        std::int64_t startUs = 0;
        // One pass as the container states it; 0 when it does not say.
        std::int64_t lengthUs = 0;
    };

    // `position` is how far into the slot playback starts, `slot` how long the slot is, `anchor`
    // the clock time at which `position` plays.
    StreamPacer(const Timing& timing, std::chrono::microseconds position,
        std::chrono::microseconds slot, Steady::time_point anchor);

    // Nothing of the file is to be sent from the position on: it lies after the last pass that
    // fits.
    bool resting() const { return m_pass > 0 && !m_whole; }
    // The pass now playing ends with the slot or before it, so every packet of it is sent, those
    // due after the slot's end at the end. Otherwise (a file longer than its slot, or of unknown
    // length) packets due at or after the end are not sent.
    bool whole() const { return m_whole; }
    // The time stamp (file time, microseconds) to seek to (the key frame at or before it) before
    // the first packet; nothing when playback starts at the file's beginning or rests.
    std::optional<std::int64_t> seekTarget() const;
    // Moves the packet's time stamps, counted in `timeBase`, into the current pass and returns
    // when it is due. Nothing for a packet of a later pass that is shown before the file's start
    // (the encoder's priming of a sound track): it would overlap the pass before.
    std::optional<Steady::time_point> place(AVPacket* packet, AVRational timeBase);
    // The file ended: true when another whole pass fits, which begins with the next packet.
    bool nextPass();

private:
    bool fits(std::int64_t shiftUs, std::int64_t lengthUs) const;

    Timing m_timing;
    std::int64_t m_positionUs;
    std::int64_t m_slotUs;
    Steady::time_point m_anchor;
    // Passes played before the current one; the current pass is moved by m_shiftUs.
    std::int64_t m_pass = 0;
    std::int64_t m_shiftUs = 0;
    bool m_whole = false;
    // The current pass follows one that was played.
    bool m_following = false;
    // The latest end (time stamp and duration) of a packet before any move, in microseconds.
    std::optional<std::int64_t> m_endUs;
    std::int64_t m_passPackets = 0;
};

} // namespace vesk::detail
