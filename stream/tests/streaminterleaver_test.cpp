#include "streaminterleaver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

using vesk::PacketPointer;
using vesk::detail::StreamInterleaver;
using namespace std::chrono_literals;

namespace {

using Steady = StreamInterleaver::Steady;

struct Stored
{
    std::size_t track;
    Steady::time_point due;
};

// Ten seconds of a picture every 40 ms and sound every 21 ms, stored in chunks of random lengths
// up to `longest`, as containers interleave: each round stores what falls before its end of one
// track, then of the other, in random order.
std::vector<Stored> fileOrder(std::mt19937& random, std::chrono::microseconds longest)
{
    const std::chrono::microseconds step[] = { 40000us, 21333us };
    Steady::time_point next[] = { {}, {} };
    const Steady::time_point end = Steady::time_point() + 10s;
    std::uniform_int_distribution<std::int64_t> chunk(1, longest.count());
    std::bernoulli_distribution soundFirst;
    std::vector<Stored> stored;
    for (Steady::time_point until {}; until < end;) {
        until += std::chrono::microseconds(chunk(random));
        const bool swap = soundFirst(random);
        for (std::size_t track : { std::size_t(swap), std::size_t(!swap) })
            for (; next[track] < std::min(until, end); next[track] += step[track])
                stored.push_back({ track, next[track] });
    }
    return stored;
}

} // namespace

// Whatever the file's chunks: packets leave in send order, the picture when due, sound in
// batches of at most eight that leave with their first packet and span less than the window; the
// queue stays within its limits, and a file whose chunks are longer than the lag costs lateness,
// not memory.
TEST(StreamInterleaver, SendOrderBatchesAndBoundsForAnyChunking)
{
    const std::size_t batchPackets = 8;
    const auto window = 200000us;
    StreamInterleaver::Limits limits;
    limits.lag = 1s;
    limits.maxPackets = 120;
    for (const auto longest : { 40000us, 500000us, 3000000us, 20000000us }) {
        for (unsigned seed = 1; seed <= 5; ++seed) {
            SCOPED_TRACE(
                testing::Message() << "chunks up to " << longest.count() << " us, seed " << seed);
            std::mt19937 random(seed);
            StreamInterleaver interleaver({ 0us, window }, batchPackets, limits);
            std::vector<StreamInterleaver::Entry> sent;
            std::size_t queued = 0;
            std::size_t mostQueued = 0;
            const auto drain = [&] {
                while (!interleaver.empty() && interleaver.ready()) {
                    sent.push_back(*interleaver.pop());
                    --queued;
                }
            };
            for (const Stored& s : fileOrder(random, longest)) {
                PacketPointer packet(av_packet_alloc());
                ASSERT_EQ(av_new_packet(packet.get(), 100), 0);
                interleaver.push(s.track, std::move(packet), s.due);
                mostQueued = std::max(mostQueued, ++queued);
                drain();
            }
            interleaver.end();
            drain();
            EXPECT_TRUE(interleaver.empty());
            EXPECT_LE(mostQueued, limits.maxPackets);

            std::map<Steady::time_point, int> batches;
            std::size_t late = 0;
            for (std::size_t i = 0; i < sent.size(); ++i) {
                const StreamInterleaver::Entry& e = sent[i];
                late += i > 0 && e.sendAt < sent[i - 1].sendAt;
                if (e.track == 0) {
                    EXPECT_EQ(e.sendAt, e.due);
                    continue;
                }
                EXPECT_LE(e.sendAt, e.due);
                EXPECT_LT(e.due - e.sendAt, window);
                EXPECT_LE(++batches[e.sendAt], int(batchPackets));
            }
            // Out of send order only where chunks exceed the lag.
            if (longest <= limits.lag) {
                EXPECT_EQ(late, 0u);
            }
            EXPECT_GT(sent.size(), 700u);
        }
    }
}
