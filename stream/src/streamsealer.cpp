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

QList<QByteArray> StreamSealer::seal(const QByteArray& message)
{
    constexpr std::size_t payload = StreamDatagram::maxPayload;
    const std::size_t size = std::size_t(message.size());
    const std::size_t count = std::max<std::size_t>(1, (size + payload - 1) / payload);
    if (count > StreamDatagram::maxFragments)
        return {};
    // The counter must never wrap: a repeated IV under one key gives the key's authentication
    // away. 2^64 datagrams will not be sent, but refuse rather than wrap.
    if (std::numeric_limits<std::uint64_t>::max() - m_counter < count)
        return {};

    QList<QByteArray> datagrams;
    datagrams.reserve(qsizetype(count));
    StreamDatagram header;
    header.streamId = m_streamId;
    header.sequence = m_sequence++;
    header.count = std::uint16_t(count);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.constData());
    for (std::size_t index = 0; index < count; ++index) {
        const std::size_t offset = index * payload;
        const std::size_t length = std::min(payload, size - std::min(size, offset));
        header.index = std::uint16_t(index);
        header.counter = m_counter++;

        QByteArray datagram;
        datagram.reserve(qsizetype(length + StreamDatagram::overhead));
        header.write(datagram);
        datagram.resize(qsizetype(length + StreamDatagram::overhead));
        const std::span<std::uint8_t> out(
            reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
        m_cipher.encrypt(out.first<StreamDatagram::ivSize>(), out.first(StreamDatagram::headerSize),
            std::span<const std::uint8_t>(bytes + offset, length),
            out.data() + StreamDatagram::headerSize,
            out.subspan(StreamDatagram::headerSize + length).first<StreamDatagram::tagSize>());
        m_signer.sign(StreamDatagram::signedPart(out), out.last<StreamDatagram::signatureSize>());
        datagrams.append(std::move(datagram));
    }
    return datagrams;
}

} // namespace vesk
