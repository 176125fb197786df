#include <vesk/streamdatagram.h>

#include <QtEndian>

namespace vesk {

void StreamDatagram::write(QByteArray& out) const
{
    std::uint8_t header[headerSize];
    qToLittleEndian(streamId, header + 0);
    qToLittleEndian(counter, header + 4);
    qToLittleEndian(sequence, header + 12);
    qToLittleEndian(index, header + 16);
    qToLittleEndian(count, header + 18);
    out.append(reinterpret_cast<const char*>(header), qsizetype(headerSize));
}

std::optional<StreamDatagram> StreamDatagram::read(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < overhead || datagram.size() > maxSize)
        return std::nullopt;
    StreamDatagram header;
    header.streamId = qFromLittleEndian<std::uint32_t>(datagram.data() + 0);
    header.counter = qFromLittleEndian<std::uint64_t>(datagram.data() + 4);
    header.sequence = qFromLittleEndian<std::uint32_t>(datagram.data() + 12);
    header.index = qFromLittleEndian<std::uint16_t>(datagram.data() + 16);
    header.count = qFromLittleEndian<std::uint16_t>(datagram.data() + 18);
    if (header.count == 0 || header.index >= header.count)
        return std::nullopt;
    return header;
}

} // namespace vesk
