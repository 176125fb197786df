#include <vesk/streamdatagram.h>
#include <vesk/streamdisclosure.h>

#include <QtEndian>

#include <algorithm>

namespace vesk {

QByteArray StreamDisclosure::write() const
{
    QByteArray datagram(qsizetype(size), '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(datagram.data());
    bytes[0] = StreamDatagram::version;
    bytes[1] = kind;
    qToLittleEndian(streamId, bytes + 4);
    qToLittleEndian(chain, bytes + 8);
    qToLittleEndian(interval, bytes + 12);
    std::ranges::copy(key, bytes + 20);
    return datagram;
}

std::optional<StreamDisclosure> StreamDisclosure::read(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() != size || datagram[0] != StreamDatagram::version || datagram[1] != kind
        || datagram[2] != 0 || datagram[3] != 0)
        return std::nullopt;
    StreamDisclosure disclosure;
    disclosure.streamId = qFromLittleEndian<std::uint32_t>(datagram.data() + 4);
    disclosure.chain = qFromLittleEndian<std::uint32_t>(datagram.data() + 8);
    disclosure.interval = qFromLittleEndian<std::uint64_t>(datagram.data() + 12);
    std::copy_n(datagram.data() + 20, disclosure.key.size(), disclosure.key.begin());
    return disclosure;
}

} // namespace vesk
