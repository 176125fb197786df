#include <vesk/streamdatagram.h>

#include "sha256.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>

namespace vesk {

void StreamDatagram::write(QByteArray& out) const
{
    std::uint8_t bytes[manifestFixedSize] {};
    bytes[0] = version;
    bytes[1] = std::uint8_t(kind);
    qToLittleEndian(index, bytes + 2);
    qToLittleEndian(streamId, bytes + 4);
    qToLittleEndian(counter, bytes + 8);
    qToLittleEndian(sequence, bytes + 16);
    qToLittleEndian(count, bytes + 20);
    std::size_t length = headerSize;
    if (kind == Kind::manifest) {
        qToLittleEndian(digestCount, bytes + 22);
        qToLittleEndian(std::uint64_t(sentAt.count()), bytes + 24);
        length = manifestFixedSize;
    }
    out.append(reinterpret_cast<const char*>(bytes), qsizetype(length));
}

// Lengths by kind:
//   fragment  22 + 16 .. 22 + 1200 + 16 bytes
//   manifest  exactly 32 + 16 k + 16 bytes, k = digest count in 1 .. 64, index + k <= count
std::optional<StreamDatagram> StreamDatagram::read(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < headerSize || datagram[0] != version)
        return std::nullopt;
    StreamDatagram header;
    header.kind = Kind(datagram[1]);
    header.index = qFromLittleEndian<std::uint16_t>(datagram.data() + 2);
    header.streamId = qFromLittleEndian<std::uint32_t>(datagram.data() + 4);
    header.counter = qFromLittleEndian<std::uint64_t>(datagram.data() + 8);
    header.sequence = qFromLittleEndian<std::uint32_t>(datagram.data() + 16);
    header.count = qFromLittleEndian<std::uint16_t>(datagram.data() + 20);
    if (header.count == 0 || header.index >= header.count)
        return std::nullopt;
    if (header.kind == Kind::fragment)
        return datagram.size() >= fragmentOverhead && datagram.size() <= maxFragmentSize
            ? std::optional(header)
            : std::nullopt;
    if (header.kind != Kind::manifest || datagram.size() < minManifestSize)
        return std::nullopt;
    header.digestCount = qFromLittleEndian<std::uint16_t>(datagram.data() + 22);
    const std::uint64_t sent = qFromLittleEndian<std::uint64_t>(datagram.data() + 24);
    if (header.digestCount == 0 || header.digestCount > maxDigests
        || std::size_t(header.index) + header.digestCount > header.count
        || datagram.size() != manifestFixedSize + header.digestCount * digestSize + macSize)
        return std::nullopt;
    // Unsigned on the wire; no clock of ours gets near 2^63 ms, so the top half reads as "late".
    header.sentAt = std::chrono::milliseconds(
        std::int64_t(std::min<std::uint64_t>(sent, std::uint64_t(INT64_MAX))));
    return header;
}

StreamDatagram::Digest StreamDatagram::digestOf(std::span<const std::uint8_t> fragment)
{
    const std::array<std::uint8_t, 32> full = detail::sha256(fragment);
    Digest digest;
    std::copy_n(full.begin(), digest.size(), digest.begin());
    return digest;
}

} // namespace vesk
