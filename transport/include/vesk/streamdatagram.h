#pragma once

#include <vesk/ssl/aesgcm.h>

#include <QByteArray>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vesk {

// A manifest or a fragment of the media stream, protocol version 3 (docs/stream-protocol.md;
// the other two kinds are StreamDisclosure and StreamAnchor). All integers are little-endian.
// Both open with the same 22-byte header:
//
//   offset size field
//        0    1 protocol version: 3
//        1    1 kind: 1 manifest, 2 fragment
//        2    2 fragment index (fragment); first fragment index listed (manifest)
//        4    4 stream identifier
//        8    8 datagram counter, never repeated under one stream key
//       16    4 message sequence number
//       20    2 fragment count of the message, at least 1
//
// A fragment goes on with the AES-256-GCM ciphertext of its piece of the message (at most
// maxPayload bytes) and the 16-byte tag; the IV is bytes 4 to 15, the additional authenticated
// data the whole header. A manifest goes on with
//
//       22    2 digest count k, 1 .. maxDigests
//       24    8 send time: milliseconds of the stream clock
//       32 16 k digests of the fragments index .. index + k - 1: SHA-256 of the whole fragment
//               datagram, its first 16 bytes
//  32+16 k   16 MAC of bytes 0 .. 32 + 16 k - 1 under the MAC key of the send time's interval
//
// Only the manifest is MACed; a fragment is the register's when its digest is listed in a
// manifest whose MAC holds once its key has been disclosed.
struct StreamDatagram
{
    enum class Kind : std::uint8_t { manifest = 1, fragment = 2, key = 3, anchor = 4 };
    using Digest = std::array<std::uint8_t, 16>;
    using Mac = std::array<std::uint8_t, 16>;

    static constexpr std::uint8_t version = 3;
    static constexpr std::size_t headerSize = 22;
    static constexpr std::size_t ivOffset = 4;
    // The cipher's own sizes: the IV is the 12 bytes from ivOffset on, as they stand.
    static constexpr std::size_t ivSize = ssl::AesGcm::ivSize;
    static constexpr std::size_t tagSize = ssl::AesGcm::tagSize;
    static_assert(ivOffset + ivSize <= headerSize, "the IV is part of the authenticated header");
    static constexpr std::size_t maxPayload = 1200;
    static constexpr std::size_t fragmentOverhead = headerSize + tagSize;
    static constexpr std::size_t maxFragmentSize = fragmentOverhead + maxPayload;
    static constexpr std::size_t digestSize = sizeof(Digest);
    static constexpr std::size_t maxDigests = 64;
    static constexpr std::size_t manifestFixedSize = headerSize + 2 + 8;
    static constexpr std::size_t macSize = sizeof(Mac);
    static constexpr std::size_t minManifestSize = manifestFixedSize + digestSize + macSize;
    static constexpr std::size_t maxManifestSize
        = manifestFixedSize + maxDigests * digestSize + macSize;
    // A message never needs more fragments than this: 65535 x 1200 bytes.
    static constexpr std::size_t maxFragments = 65535;

    Kind kind = Kind::fragment;
    std::uint16_t index = 0;
    std::uint32_t streamId = 0;
    std::uint64_t counter = 0;
    std::uint32_t sequence = 0;
    std::uint16_t count = 0;
    // Manifests only.
    std::uint16_t digestCount = 0;
    std::chrono::milliseconds sentAt { 0 };

    // Appends the header (and for a manifest the digest count and send time) to out.
    void write(QByteArray& out) const;
    // Reads a manifest or fragment of this protocol version. Empty when the version byte is
    // another, the kind not one of these two, the length wrong for the kind (a manifest must be
    // exactly as long as its digest count says), count is 0, index not below count, or a manifest
    // lists digests beyond count. Nothing in it is authenticated by this.
    static std::optional<StreamDatagram> read(std::span<const std::uint8_t> datagram);

    // The digest a manifest lists for this fragment datagram.
    static Digest digestOf(std::span<const std::uint8_t> fragment);

    // The parts of a datagram that read() accepted.
    static std::span<const std::uint8_t, ivSize> iv(std::span<const std::uint8_t> datagram)
    {
        return datagram.subspan<ivOffset, ivSize>();
    }
    static std::span<const std::uint8_t> header(std::span<const std::uint8_t> datagram)
    {
        return datagram.first(headerSize);
    }
    static std::span<const std::uint8_t> ciphertext(std::span<const std::uint8_t> fragment)
    {
        return fragment.subspan(headerSize, fragment.size() - fragmentOverhead);
    }
    static std::span<const std::uint8_t, tagSize> tag(std::span<const std::uint8_t> fragment)
    {
        return fragment.last<tagSize>();
    }
    // The bytes a MAC covers and the MAC, of a manifest or an in-band anchor.
    static std::span<const std::uint8_t> macedPart(std::span<const std::uint8_t> datagram)
    {
        return datagram.first(datagram.size() - macSize);
    }
    static std::span<const std::uint8_t, macSize> mac(std::span<const std::uint8_t> datagram)
    {
        return datagram.last<macSize>();
    }
    // The i-th digest of a manifest, i < digestCount.
    static std::span<const std::uint8_t, digestSize> listed(
        std::span<const std::uint8_t> manifest, std::size_t i)
    {
        return manifest.subspan(manifestFixedSize + i * digestSize).first<digestSize>();
    }
};

} // namespace vesk
