// Internal to libvesk_format, not API.
#pragma once

#include "littleendian.h"

#include <cstdint>
#include <span>

namespace vesk::detail {

// Locates a table of fixed-size entries in a message: offset, entry size, count. Entry i starts at
// offset + i * entrySize. The entry size comes from the message, so a writer may use a wider stride
// than Entry::size; the first Entry::size bytes of each stride are read.
template <typename Entry, typename Offset = std::uint32_t, typename EntrySize = std::uint16_t,
    typename Count = std::uint16_t>
struct RangeList
{
    static constexpr std::size_t size = sizeof(Offset) + sizeof(EntrySize) + sizeof(Count);

    Offset offset = 0;
    EntrySize entrySize = Entry::size;
    Count count = 0;

    static RangeList read(const std::uint8_t* bytes)
    {
        return { loadLittleEndian<Offset>(bytes),
            loadLittleEndian<EntrySize>(bytes + sizeof(Offset)),
            loadLittleEndian<Count>(bytes + sizeof(Offset) + sizeof(EntrySize)) };
    }
    void write(std::uint8_t* bytes) const
    {
        storeLittleEndian(bytes, offset);
        storeLittleEndian(bytes + sizeof(Offset), entrySize);
        storeLittleEndian(bytes + sizeof(Offset) + sizeof(EntrySize), count);
    }

    // True when the table has entries and all of them lie inside the message. A table that does
    // not fit as a whole, or whose stride is shorter than an entry, is read as empty.
    //   offset 36, stride 36, count 1, message 72 -> true
    //   offset 36, stride 36, count 1, message 71 -> false
    //   offset 36, stride 35, count 1, message 72 -> false
    //   offset 36, stride 40, count 0, message 10 -> false (nothing to read)
    bool fits(std::span<const std::uint8_t> message) const
    {
        if (count == 0 || entrySize < Entry::size)
            return false;
        return std::uint64_t { offset } + std::uint64_t { entrySize } * count <= message.size();
    }

    // Entry i; only after fits() said true, and i < count.
    Entry at(std::span<const std::uint8_t> message, std::size_t i) const
    {
        return Entry::read(message.data() + offset + i * entrySize);
    }
};

} // namespace vesk::detail
