#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vesk {

// The clear header of one datagram of the media stream (docs/stream-protocol.md). All fields are
// little-endian; the first 12 bytes (stream identifier and counter) are also the AES-GCM IV, and
// all 20 bytes are the additional authenticated data, so nothing in them can be changed unseen.
//
//   offset size field
//        0    4 stream identifier
//        4    8 datagram counter, never repeated under one stream key
//       12    4 message sequence number
//       16    2 fragment index, 0 .. count - 1
//       18    2 fragment count, at least 1
//       20    n ciphertext of the fragment, n <= maxPayload
//   20 + n   16 GCM tag
struct StreamDatagram
{
    static constexpr std::size_t headerSize = 20;
    static constexpr std::size_t ivSize = 12;
    static constexpr std::size_t tagSize = 16;
    static constexpr std::size_t maxPayload = 1200;
    static constexpr std::size_t maxSize = headerSize + maxPayload + tagSize;
    // A message never needs more fragments than this: 65535 x 1200 bytes.
    static constexpr std::size_t maxFragments = 65535;

    std::uint32_t streamId = 0;
    std::uint64_t counter = 0;
    std::uint32_t sequence = 0;
    std::uint16_t index = 0;
    std::uint16_t count = 0;

    // Appends the 20 header bytes to out.
    void write(QByteArray& out) const;
    // Reads the header of a datagram. Empty when the datagram is too short to hold a header and a
    // tag or longer than maxSize, or when count is 0 or index is not below count. The payload is
    // not authenticated by this.
    static std::optional<StreamDatagram> read(std::span<const std::uint8_t> datagram);
};

} // namespace vesk
