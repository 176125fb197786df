#include "formattest.h"

#include <vesk/pointer.h>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mem.h>
}

using namespace vesk;
using namespace vesk::test;

TEST(PointerTest, CopiesDeeplyAndMovesOwnership)
{
    PacketPointer packet
        = makePacket(1, 2, AV_PKT_FLAG_KEY, "abc", { { AV_PKT_DATA_PALETTE, "p" } });
    PacketPointer copy(packet);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), packet.get());
    EXPECT_EQ(payloadOf(copy.get()), "abc");
    EXPECT_EQ(sideDataOf(copy.get()), sideDataOf(packet.get()));
    EXPECT_EQ(copy->dts, 1);

    AVPacket* raw = copy.get();
    PacketPointer moved(std::move(copy));
    EXPECT_FALSE(copy);
    EXPECT_EQ(moved.get(), raw);

    copy = moved;
    EXPECT_NE(copy.get(), raw);
    moved = std::move(copy);
    EXPECT_FALSE(copy);

    AVPacket* released = moved.release();
    EXPECT_FALSE(moved);
    av_packet_free(&released);

    CodecParametersPointer parameters(avcodec_parameters_alloc());
    parameters->width = 320;
    parameters->extradata
        = static_cast<std::uint8_t*>(av_mallocz(4 + AV_INPUT_BUFFER_PADDING_SIZE));
    parameters->extradata_size = 4;
    CodecParametersPointer parametersCopy(parameters);
    ASSERT_TRUE(parametersCopy);
    EXPECT_EQ(parametersCopy->width, 320);
    EXPECT_NE(parametersCopy->extradata, parameters->extradata);

    // Plain release functions work as well.
    Pointer<std::uint8_t, pointer::Function<av_free>> buffer(
        static_cast<std::uint8_t*>(av_malloc(16)));
    buffer.reset(static_cast<std::uint8_t*>(av_malloc(8)));
    EXPECT_TRUE(buffer);
}
