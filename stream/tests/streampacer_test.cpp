#include "streampacer.h"

#include <gtest/gtest.h>

#include <initializer_list>

using vesk::detail::StreamPacer;
using namespace std::chrono_literals;

// Which passes of a file a slot plays, from where, and whether whole:
//   file  slot  joined  ->  resting  whole  seek  passes
//   10    10    0           no       yes    -     1      (a file made for its slot, once)
//   10.05 10    0           no       yes    -     1      (ends within the slack)
//   10.2  10    0           no       no     -     1      (longer: cut at the end)
//   2     5     0           no       yes    -     2      (twice whole, then nothing)
//   2     5     3           no       yes    1     1      (joins the second pass)
//   2     5     4.5         yes      -      -     0      (after the last whole pass)
//   2     3     2.5         yes      -      -     0
//   ?     5     0           no       no     -     2      (length learnt from the first pass)
//   2     6     0           no       yes    -     3
TEST(StreamPacer, PlaysWholePassesOnly)
{
    struct Case
    {
        double file;
        // What the container states; 0: nothing.
        double stated;
        double slot;
        double joined;
        bool resting;
        bool whole;
        double seek;
        int passes;
    };
    constexpr AVRational ms { 1, 1000 };
    const auto us
        = [](double seconds) { return std::chrono::microseconds(std::int64_t(seconds * 1e6)); };
    const StreamPacer::Steady::time_point anchor {};
    for (const Case& c : std::initializer_list<Case> {
             { 10, 10, 10, 0, false, true, 0, 1 },
             { 10.05, 10.05, 10, 0, false, true, 0, 1 },
             { 10.2, 10.2, 10, 0, false, false, 0, 1 },
             { 2, 2, 5, 0, false, true, 0, 2 },
             { 2, 2, 5, 3, false, true, 1, 1 },
             { 2, 2, 5, 4.5, true, false, 0, 0 },
             { 2, 2, 3, 2.5, true, false, 0, 0 },
             { 2, 0, 5, 0, false, false, 0, 2 },
             { 2, 2, 6, 0, false, true, 0, 3 },
         }) {
        SCOPED_TRACE(testing::Message() << c.file << " s in " << c.slot << " s from " << c.joined);
        // The file starts at 1 s of its own time.
        StreamPacer pacer(
            { 1000000, std::int64_t(c.stated * 1e6) }, us(c.joined), us(c.slot), anchor);
        EXPECT_EQ(pacer.resting(), c.resting);
        EXPECT_EQ(pacer.whole(), c.whole);
        EXPECT_EQ(pacer.seekTarget(),
            c.seek > 0 ? std::optional<std::int64_t>(1000000 + us(c.seek).count()) : std::nullopt);
        if (c.resting)
            continue;
        int passes = 0;
        do {
            ++passes;
            // A pass: a sound track's priming shown before the file's start, the first picture at
            // 1 s, the last one ending with the file.
            for (const std::int64_t pts : { std::int64_t(980), std::int64_t(1000),
                     std::int64_t(1000 + c.file * 1000 - 40) }) {
                AVPacket* packet = av_packet_alloc();
                packet->pts = packet->dts = pts;
                packet->duration = 40;
                const auto due = pacer.place(packet, ms);
                const std::int64_t moved = packet->pts;
                av_packet_free(&packet);
                // The priming would overlap the pass before.
                if (pts < 1000 && passes > 1) {
                    EXPECT_FALSE(due) << passes;
                    continue;
                }
                // Each pass follows the one before by the file's length.
                const std::int64_t shifted
                    = pts + std::int64_t((passes - 1 + int(c.seek > 0)) * c.file * 1000);
                ASSERT_TRUE(due) << passes;
                EXPECT_EQ(moved, shifted) << passes;
                EXPECT_EQ(*due - anchor, us((shifted - 1000) / 1000.0 - c.joined)) << passes;
            }
        } while (pacer.nextPass() && passes < 10);
        EXPECT_EQ(passes, c.passes);
    }
}
