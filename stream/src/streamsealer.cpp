#include <vesk/streamdatagram.h>
#include <vesk/streamsealer.h>

#include <algorithm>
#include <limits>

namespace vesk {

StreamSealer::StreamSealer(
    std::uint32_t streamId, std::span<const unsigned char, 32> key, ssl::SigningKey signer)
    : m_streamId(streamId)
    , m_cipher(key)
    , m_signer(std::move(signer))
{
}

QList<QByteArray> StreamSealer::seal(const QByteArray& message, std::chrono::milliseconds sentAt)
{
    constexpr std::size_t payload = StreamDatagram::maxPayload;
    constexpr std::size_t perManifest = StreamDatagram::maxDigests;
    const std::size_t size = std::size_t(message.size());
    const std::size_t count = std::max<std::size_t>(1, (size + payload - 1) / payload);
    if (count > StreamDatagram::maxFragments)
        return {};
    const std::size_t manifests = (count + perManifest - 1) / perManifest;
    // The counter must never wrap: a repeated IV under one key gives the key's authentication
    // away. 2^64 datagrams will not be sent, but refuse rather than wrap.
    if (std::numeric_limits<std::uint64_t>::max() - m_counter < count + manifests)
        return {};

    QList<QByteArray> datagrams;
    datagrams.reserve(qsizetype(count + manifests));
    StreamDatagram header;
    header.streamId = m_streamId;
    header.sequence = m_sequence++;
    header.count = std::uint16_t(count);
    header.sentAt = sentAt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.constData());
    for (std::size_t first = 0; first < count; first += perManifest) {
        const std::size_t listed = std::min(perManifest, count - first);
        StreamDatagram manifestHeader = header;
        manifestHeader.kind = StreamDatagram::Kind::manifest;
        manifestHeader.index = std::uint16_t(first);
        manifestHeader.counter = m_counter++;
        manifestHeader.digestCount = std::uint16_t(listed);
        QByteArray manifest;
        manifest.reserve(qsizetype(StreamDatagram::manifestFixedSize
            + listed * StreamDatagram::digestSize + StreamDatagram::signatureSize));
        manifestHeader.write(manifest);
        const qsizetype manifestAt = datagrams.size();
        datagrams.append(QByteArray());

        for (std::size_t index = first; index < first + listed; ++index) {
            const std::size_t offset = index * payload;
            const std::size_t length = std::min(payload, size - std::min(size, offset));
            header.index = std::uint16_t(index);
            header.counter = m_counter++;
            QByteArray fragment = sealFragment(header, { bytes + offset, length });
            const StreamDatagram::Digest digest = StreamDatagram::digestOf(
                { reinterpret_cast<const std::uint8_t*>(fragment.constData()),
                    std::size_t(fragment.size()) });
            manifest.append(reinterpret_cast<const char*>(digest.data()), qsizetype(digest.size()));
            datagrams.append(std::move(fragment));
        }
        manifest.resize(manifest.size() + qsizetype(StreamDatagram::signatureSize));
        const std::span<std::uint8_t> out(
            reinterpret_cast<std::uint8_t*>(manifest.data()), std::size_t(manifest.size()));
        m_signer.sign(StreamDatagram::signedPart(out), out.last<StreamDatagram::signatureSize>());
        datagrams[manifestAt] = std::move(manifest);
    }
    return datagrams;
}

QByteArray StreamSealer::sealFragment(StreamDatagram header, std::span<const std::uint8_t> piece)
{
    QByteArray datagram;
    datagram.reserve(qsizetype(piece.size() + StreamDatagram::fragmentOverhead));
    header.kind = StreamDatagram::Kind::fragment;
    header.write(datagram);
    datagram.resize(qsizetype(piece.size() + StreamDatagram::fragmentOverhead));
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
    m_cipher.encrypt(StreamDatagram::iv(out), StreamDatagram::header(out), piece,
        out.data() + StreamDatagram::headerSize, out.last<StreamDatagram::tagSize>());
    return datagram;
}

} // namespace vesk
