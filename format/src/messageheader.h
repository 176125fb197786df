// Internal to libvesk_format, not API.
#pragma once

#include "byterange.h"
#include "messagepacketentry.h"
#include "rangelist.h"

#include <cstdint>

namespace vesk::detail {

// The first 32 bytes of every message. The format has no magic, version, checksum or total length:
// the message is exactly the block handed to the decoder.
struct MessageHeader
{
    static constexpr std::size_t size = 32;

    ByteRange metadata;
    ByteRange codecParameters;
    ByteRange extradata;
    RangeList<MessagePacketEntry> packets;

    static MessageHeader read(const std::uint8_t* bytes)
    {
        return { ByteRange::read(bytes), ByteRange::read(bytes + 8), ByteRange::read(bytes + 16),
            RangeList<MessagePacketEntry>::read(bytes + 24) };
    }
    void write(std::uint8_t* bytes) const
    {
        metadata.write(bytes);
        codecParameters.write(bytes + 8);
        extradata.write(bytes + 16);
        packets.write(bytes + 24);
    }
};

} // namespace vesk::detail
