#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vesk {

// A key datagram of the media stream (docs/stream-protocol.md): it discloses the key of one
// interval of one key chain, once the register can no longer have anything sealed under it in
// flight. 52 bytes, little-endian:
//
//   offset size field
//        0    1 protocol version: 3
//        1    1 kind: 3
//        2    2 0
//        4    4 stream identifier
//        8    4 chain number
//       12    8 interval
//       20   32 the interval's key
//
// Nothing in it is authenticated by reading it: a key proves itself by leading down its chain to
// a key the receiver holds.
struct StreamDisclosure
{
    using Key = std::array<std::uint8_t, 32>;

    static constexpr std::uint8_t kind = 3;
    static constexpr std::size_t size = 52;

    std::uint32_t streamId = 0;
    std::uint32_t chain = 0;
    std::uint64_t interval = 0;
    Key key {};

    QByteArray write() const;
    // Empty unless the datagram is exactly `size` bytes of this version and kind with bytes 2 and
    // 3 zero.
    static std::optional<StreamDisclosure> read(std::span<const std::uint8_t> datagram);
};

} // namespace vesk
