#include "formattest.h"

#include <cstring>
#include <stdexcept>

namespace vesk::test {
PacketPointer makePacket(
    std::int64_t dts, std::int64_t pts, int flags, const QByteArray& data, const SideData& sideData)
{
    PacketPointer packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(data.size())) < 0)
        throw std::bad_alloc();
    if (!data.isEmpty())
        std::memcpy(packet->data, data.constData(), static_cast<std::size_t>(data.size()));
    packet->dts = dts;
    packet->pts = pts;
    packet->flags = flags;
    for (const auto& [type, bytes] : sideData) {
        std::uint8_t* target
            = av_packet_new_side_data(packet.get(), type, static_cast<std::size_t>(bytes.size()));
        if (!target)
            throw std::bad_alloc();
        if (!bytes.isEmpty())
            std::memcpy(target, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return packet;
}

QByteArray payloadOf(const AVPacket* packet)
{
    return QByteArray(reinterpret_cast<const char*>(packet->data), packet->size);
}

SideData sideDataOf(const AVPacket* packet)
{
    SideData items;
    for (int i = 0; i < packet->side_data_elems; ++i) {
        const AVPacketSideData& item = packet->side_data[i];
        items.append({ item.type,
            QByteArray(
                reinterpret_cast<const char*>(item.data), static_cast<qsizetype>(item.size)) });
    }
    return items;
}

std::uint64_t fieldAt(const QByteArray& message, qsizetype offset, int width)
{
    if (offset + width > message.size())
        throw std::out_of_range("field beyond the message");
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= std::uint64_t { static_cast<std::uint8_t>(message[offset + i]) } << (8 * i);
    return value;
}

void setFieldAt(QByteArray& message, qsizetype offset, int width, std::uint64_t value)
{
    if (offset + width > message.size())
        throw std::out_of_range("field beyond the message");
    for (int i = 0; i < width; ++i)
        message[offset + i] = static_cast<char>(value >> (8 * i));
}

} // namespace vesk::test
