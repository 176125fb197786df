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
// The register's Ed25519 signature over everything before it closes the datagram: the stream key
// is known to every display, the signing key only to the register.
//
//   offset   size field
//        0      4 stream identifier
//        4      8 datagram counter, never repeated under one stream key
//       12      4 message sequence number
//       16      2 fragment index, 0 .. count - 1
//       18      2 fragment count, at least 1
//       20      n ciphertext of the fragment, n <= maxPayload
//   20 + n     16 GCM tag
//   36 + n     64 Ed25519 signature of bytes 0 .. 36 + n - 1
struct StreamDatagram
{
    static constexpr std::size_t headerSize = 20;
    static constexpr std::size_t ivSize = 12;
    static constexpr std::size_t tagSize = 16;
    static constexpr std::size_t signatureSize = 64;
    static constexpr std::size_t maxPayload = 1200;
    static constexpr std::size_t overhead = headerSize + tagSize + signatureSize;
    static constexpr std::size_t maxSize = maxPayload + overhead;
    // A message never needs more fragments than this: 65535 x 1200 bytes.
    static constexpr std::size_t maxFragments = 65535;

    std::uint32_t streamId = 0;
    std::uint64_t counter = 0;
    std::uint32_t sequence = 0;
    std::uint16_t index = 0;
    std::uint16_t count = 0;

    // Appends the 20 header bytes to out.
    void write(QByteArray& out) const;
    // Reads the header of a datagram. Empty when the datagram is too short to hold a header, a tag
    // and a signature or longer than maxSize, or when count is 0 or index is not below count.
    // Nothing in it is authenticated by this.
    static std::optional<StreamDatagram> read(std::span<const std::uint8_t> datagram);

    // The parts of a datagram that read() accepted.
    static std::span<const std::uint8_t> signedPart(std::span<const std::uint8_t> datagram)
    {
        return datagram.first(datagram.size() - signatureSize);
    }
    static std::span<const std::uint8_t, signatureSize> signature(
        std::span<const std::uint8_t> datagram)
    {
        return datagram.last<signatureSize>();
    }
    static std::span<const std::uint8_t> ciphertext(std::span<const std::uint8_t> datagram)
    {
        return datagram.subspan(headerSize, datagram.size() - overhead);
    }
    static std::span<const std::uint8_t, tagSize> tag(std::span<const std::uint8_t> datagram)
    {
        return datagram.subspan(datagram.size() - signatureSize - tagSize).first<tagSize>();
    }
};

} // namespace vesk
