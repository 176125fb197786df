// Internal to libvesk_format, not API.
#pragma once

#include "byterange.h"
#include "littleendian.h"

#include <cstdint>

namespace vesk::detail {

// One side-data item of a packet: its AVPacketSideDataType value and where its bytes lie.
struct MessagePacketSideDataEntry
{
    static constexpr std::size_t size = 12;

    std::int32_t type = 0;
    ByteRange data;

    static MessagePacketSideDataEntry read(const std::uint8_t* bytes)
    {
        return { loadLittleEndian<std::int32_t>(bytes), ByteRange::read(bytes + 4) };
    }
    void write(std::uint8_t* bytes) const
    {
        storeLittleEndian(bytes, type);
        data.write(bytes + 4);
    }
};

} // namespace vesk::detail
