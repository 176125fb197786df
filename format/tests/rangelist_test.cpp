#include "messageheader.h"
#include "messagepacketentry.h"
#include "packetbuilder.h"
#include "rangelist.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vesk::detail;

TEST(RangeListTest, FitsMirrorsItsTable)
{
    const struct
    {
        std::uint32_t offset;
        std::uint16_t stride;
        std::uint16_t count;
        std::size_t message;
        bool fits;
    } cases[] = {
        { 36, 36, 1, 72, true },
        { 36, 36, 1, 71, false },
        { 36, 35, 1, 72, false },
        { 36, 40, 0, 10, false },
        { 0, 36, 2, 72, true },
        { 0xFFFFFFFF, 36, 0xFFFF, 100, false },
    };
    for (const auto& c : cases) {
        const RangeList<MessagePacketEntry> table { c.offset, c.stride, c.count };
        const std::vector<std::uint8_t> message(c.message);
        EXPECT_EQ(table.fits(message), c.fits) << c.offset << " " << c.stride << " " << c.count;
    }
}

TEST(RangeListTest, BuilderRecordsPositionsOfEmptyParts)
{
    PacketBuilder<MessageHeader> builder;
    EXPECT_EQ(builder.header().packets.entrySize, 36);
    const ByteRange empty = builder.append(QByteArrayView());
    EXPECT_EQ(empty.offset, 32u);
    EXPECT_EQ(empty.length, 0u);
    builder.append("abc");
    const auto table = builder.appendTable(std::span<const MessagePacketEntry>());
    EXPECT_EQ(table.offset, 35u);
    EXPECT_EQ(table.count, 0);
    EXPECT_EQ(builder.take().size(), 35);
}
