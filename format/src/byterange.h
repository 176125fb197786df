// Internal to libvesk_format, not API.
#pragma once

#include "littleendian.h"

#include <QByteArray>

#include <cstdint>
#include <span>

namespace vesk::detail {

// Where a run of bytes lies in a message: offset, then size, both unsigned 32-bit.
struct ByteRange
{
    static constexpr std::size_t size = 8;

    std::uint32_t offset = 0;
    std::uint32_t length = 0;

    static ByteRange read(const std::uint8_t* bytes)
    {
        return { loadLittleEndian<std::uint32_t>(bytes),
            loadLittleEndian<std::uint32_t>(bytes + 4) };
    }
    void write(std::uint8_t* bytes) const
    {
        storeLittleEndian(bytes, offset);
        storeLittleEndian(bytes + 4, length);
    }

    bool fits(std::span<const std::uint8_t> message) const
    {
        return std::uint64_t { offset } + length <= message.size();
    }

    // The bytes of the range, or empty bytes when the range ends beyond the message.
    QByteArray bytesIn(std::span<const std::uint8_t> message) const
    {
        if (length == 0 || !fits(message))
            return {};
        return QByteArray(reinterpret_cast<const char*>(message.data() + offset), length);
    }
};

} // namespace vesk::detail
