// Internal to libvesk_format, not API.
#pragma once

#include "byterange.h"
#include "littleendian.h"
#include "messagepacketsidedataentry.h"
#include "rangelist.h"

#include <cstdint>

namespace vesk::detail {

// One packet of a message: timestamps, flags word, payload and side-data table.
struct MessagePacketEntry
{
    static constexpr std::size_t size = 36;
    // Bit 31 of the flags word asks the receiver to reconfigure its codec before this packet;
    // bits 0 to 30 are the packet's own flags.
    static constexpr std::uint32_t codecChangeFlag = 1u << 31;

    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::uint32_t flags = 0;
    ByteRange data;
    RangeList<MessagePacketSideDataEntry> sideData;

    static MessagePacketEntry read(const std::uint8_t* bytes)
    {
        return { loadLittleEndian<std::int64_t>(bytes), loadLittleEndian<std::int64_t>(bytes + 8),
            loadLittleEndian<std::uint32_t>(bytes + 16), ByteRange::read(bytes + 20),
            RangeList<MessagePacketSideDataEntry>::read(bytes + 28) };
    }
    void write(std::uint8_t* bytes) const
    {
        storeLittleEndian(bytes, pts);
        storeLittleEndian(bytes + 8, dts);
        storeLittleEndian(bytes + 16, flags);
        data.write(bytes + 20);
        sideData.write(bytes + 28);
    }
};

} // namespace vesk::detail
