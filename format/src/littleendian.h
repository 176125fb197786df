// Internal to libvesk_format, not API.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vesk::detail {

// Message fields are little-endian whatever the host; these compile to plain loads and stores on
// little-endian machines and need no alignment.
template <std::integral T> T loadLittleEndian(const std::uint8_t* bytes)
{
    using Unsigned = std::make_unsigned_t<T>;
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<Unsigned>(static_cast<Unsigned>(bytes[i]) << (8 * i));
    return static_cast<T>(value);
}

template <std::integral T> void storeLittleEndian(std::uint8_t* bytes, T value)
{
    using Unsigned = std::make_unsigned_t<T>;
    const auto bits = static_cast<Unsigned>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

} // namespace vesk::detail
