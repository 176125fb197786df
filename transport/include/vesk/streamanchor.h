#pragma once

#include <vesk/ssl/signingkey.h>
#include <vesk/ssl/verifyingkey.h>

#include <QByteArray>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vesk {

// Where a key chain of the media stream starts (docs/stream-protocol.md): its number, its first
// interval, its length, the stream's interval and disclosure delay, and the commitment every key
// of the chain leads down to, signed by the register. 124 bytes, little-endian:
//
//   offset size field
//        0    1 protocol version: 3
//        1    1 kind: 4
//        2    2 0
//        4    4 stream identifier
//        8    4 chain number
//       12    8 first interval
//       20    4 length in intervals, at least 1
//       24    2 interval in milliseconds, at least 1
//       26    2 disclosure delay in intervals, at least 1
//       28   32 commitment
//       60   64 Ed25519 signature of bytes 0 .. 59
//
// That is what stream/connect hands a display. In-band, an anchor datagram goes on with the send
// time (8 bytes) and the MAC (16) of bytes 0 .. 131 under the key of the send time's interval in
// the chain before: 148 bytes.
struct StreamAnchor
{
    using Key = std::array<std::uint8_t, 32>;

    static constexpr std::uint8_t kind = 4;
    static constexpr std::size_t signedSize = 60;
    static constexpr std::size_t size = signedSize + ssl::SigningKey::signatureSize;
    static constexpr std::size_t inBandSize = size + 8 + 16;

    std::uint32_t streamId = 0;
    std::uint32_t chain = 0;
    std::uint64_t first = 0;
    std::uint32_t length = 0;
    std::chrono::milliseconds interval { 0 };
    std::uint16_t delay = 0;
    Key commitment {};
    // In-band anchors only.
    std::chrono::milliseconds sentAt { 0 };

    // The first interval after the chain.
    std::uint64_t end() const { return first + length; }
    bool covers(std::uint64_t at) const { return at >= first && at - first < length; }

    // The 124 signed bytes.
    QByteArray write(const ssl::SigningKey& signer) const;
    // Reads the 124 bytes of an answer, or the 148 of an anchor datagram (then with the send
    // time). Empty unless the length is one of these, version and kind are right, bytes 2 and 3
    // are zero, length, interval and delay are not 0 and the chain does not run past 2^63
    // intervals. The signature is not checked here.
    static std::optional<StreamAnchor> read(std::span<const std::uint8_t> bytes);
    // True when the first 124 bytes carry `signer`'s signature of the 60 before it.
    static bool signedBy(std::span<const std::uint8_t> bytes, const ssl::VerifyingKey& signer);
};

} // namespace vesk
