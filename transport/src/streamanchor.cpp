#include <vesk/streamanchor.h>
#include <vesk/streamdatagram.h>

#include <QtEndian>

#include <algorithm>

namespace vesk {

QByteArray StreamAnchor::write(const ssl::SigningKey& signer) const
{
    QByteArray anchor(qsizetype(size), '\0');
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(anchor.data()), size);
    bytes[0] = StreamDatagram::version;
    bytes[1] = kind;
    qToLittleEndian(streamId, bytes.data() + 4);
    qToLittleEndian(chain, bytes.data() + 8);
    qToLittleEndian(first, bytes.data() + 12);
    qToLittleEndian(length, bytes.data() + 20);
    qToLittleEndian(std::uint16_t(interval.count()), bytes.data() + 24);
    qToLittleEndian(delay, bytes.data() + 26);
    std::ranges::copy(commitment, bytes.data() + 28);
    signer.sign(bytes.first<signedSize>(), bytes.last<ssl::SigningKey::signatureSize>());
    return anchor;
}

// Lengths:
//   124  as stream/connect carries it
//   148  in-band, with send time and MAC
//   anything else, or L, T or d of 0, or f + L beyond 2^63: nothing
std::optional<StreamAnchor> StreamAnchor::read(std::span<const std::uint8_t> bytes)
{
    if ((bytes.size() != size && bytes.size() != inBandSize) || bytes[0] != StreamDatagram::version
        || bytes[1] != kind || bytes[2] != 0 || bytes[3] != 0)
        return std::nullopt;
    StreamAnchor anchor;
    anchor.streamId = qFromLittleEndian<std::uint32_t>(bytes.data() + 4);
    anchor.chain = qFromLittleEndian<std::uint32_t>(bytes.data() + 8);
    anchor.first = qFromLittleEndian<std::uint64_t>(bytes.data() + 12);
    anchor.length = qFromLittleEndian<std::uint32_t>(bytes.data() + 20);
    anchor.interval
        = std::chrono::milliseconds(qFromLittleEndian<std::uint16_t>(bytes.data() + 24));
    anchor.delay = qFromLittleEndian<std::uint16_t>(bytes.data() + 26);
    std::copy_n(bytes.data() + 28, anchor.commitment.size(), anchor.commitment.begin());
    if (anchor.length == 0 || anchor.interval.count() == 0 || anchor.delay == 0
        || anchor.first >= (std::uint64_t(1) << 63) - anchor.length)
        return std::nullopt;
    if (bytes.size() == inBandSize) {
        const std::uint64_t sent = qFromLittleEndian<std::uint64_t>(bytes.data() + size);
        // As for a manifest: the top half of the range reads as "late".
        anchor.sentAt = std::chrono::milliseconds(
            std::int64_t(std::min<std::uint64_t>(sent, std::uint64_t(INT64_MAX))));
    }
    return anchor;
}

bool StreamAnchor::signedBy(std::span<const std::uint8_t> bytes, const ssl::VerifyingKey& signer)
{
    return bytes.size() >= size
        && signer.verify(
            bytes.first<signedSize>(), bytes.subspan<signedSize, ssl::SigningKey::signatureSize>());
}

} // namespace vesk
