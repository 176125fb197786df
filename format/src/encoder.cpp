#include <vesk/encoder.h>

#include "codecparametersimage.h"
#include "encoder_p.h"
#include "messageheader.h"
#include "messagepacketentry.h"
#include "messagepacketsidedataentry.h"
#include "packetbuilder.h"

#include <vesk/log/manager.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace vesk {

using detail::MessageHeader;
using detail::MessagePacketEntry;
using detail::MessagePacketSideDataEntry;

namespace {

// Offsets are 32-bit, so a message must end before 4 GiB.
constexpr std::uint64_t maxMessageSize = std::numeric_limits<std::uint32_t>::max();

std::uint64_t bytesOf(const Encoder::Private::Packet& packet)
{
    std::uint64_t size = static_cast<std::uint64_t>(packet.data.size())
        + MessagePacketSideDataEntry::size * static_cast<std::uint64_t>(packet.sideData.size())
        + MessagePacketEntry::size;
    for (const auto& item : packet.sideData)
        size += static_cast<std::uint64_t>(item.second.size());
    return size;
}

} // namespace

Encoder::Private::Private()
    : m_logger(log::Manager::logger(QStringLiteral("vesk.encoder")))
{
}

Encoder::Encoder()
    : m_d(std::make_unique<Private>())
{
}
Encoder::Encoder(Encoder&& other) noexcept = default;
Encoder& Encoder::operator=(Encoder&& other) noexcept = default;
Encoder::~Encoder() = default;

void Encoder::setHeader(const QJsonDocument& metadata, const AVCodecParameters* parameters)
{
    m_d->m_metadata = metadata.toJson(QJsonDocument::Compact);
    m_d->m_codecParameters = detail::CodecParametersImage::fromParameters(*parameters);
    if (parameters->extradata && parameters->extradata_size > 0)
        m_d->m_extradata = QByteArray(
            reinterpret_cast<const char*>(parameters->extradata), parameters->extradata_size);
    else
        m_d->m_extradata.clear();
    m_d->m_packets.clear();
}

void Encoder::addPacket(const AVPacket* packet, bool codecChanged)
{
    Private::Packet record;
    const int items = std::min<qint64>(packet->side_data_elems, maxPacketsPerMessage);
    if (items < packet->side_data_elems)
        m_d->m_logger->warn("У пакета с dts %1 %2 элементов побочных данных, передаются первые %3",
            packet->dts, packet->side_data_elems, items);
    record.sideData.reserve(std::max(items, 0));
    for (int i = 0; i < items; ++i) {
        const AVPacketSideData& item = packet->side_data[i];
        record.sideData.append({ item.type,
            QByteArray(
                reinterpret_cast<const char*>(item.data), static_cast<qsizetype>(item.size)) });
    }
    record.flags = static_cast<quint32>(packet->flags) & ~MessagePacketEntry::codecChangeFlag;
    if (codecChanged)
        record.flags |= MessagePacketEntry::codecChangeFlag;
    record.pts = packet->pts;
    record.dts = packet->dts;
    if (packet->data && packet->size > 0)
        record.data = QByteArray(reinterpret_cast<const char*>(packet->data), packet->size);
    m_d->m_packets.insert(record.dts, std::move(record));
}

qint64 Encoder::packets() const
{
    return m_d->m_packets.size();
}

QByteArray Encoder::takeResult()
{
    auto& packets = m_d->m_packets;

    // Decide first how many packets fit, so the message is built in one allocation.
    std::uint64_t size = MessageHeader::size + m_d->m_codecParameters.size()
        + m_d->m_extradata.size() + m_d->m_metadata.size();
    auto end = packets.begin();
    qint64 count = 0;
    while (end != packets.end() && count < maxPacketsPerMessage) {
        const std::uint64_t added = bytesOf(end.value());
        if (size + added > maxMessageSize) {
            if (count > 0)
                break;
            m_d->m_logger->warn(
                "Пакет с dts %1 не помещается в сообщение и отброшен", end.value().dts);
            end = packets.erase(end);
            continue;
        }
        size += added;
        ++count;
        ++end;
    }

    detail::PacketBuilder<MessageHeader> builder(static_cast<qsizetype>(size));
    MessageHeader& header = builder.header();
    header.codecParameters = builder.append(m_d->m_codecParameters);
    header.extradata = builder.append(m_d->m_extradata);
    header.metadata = builder.append(m_d->m_metadata);

    std::vector<MessagePacketEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    std::vector<MessagePacketSideDataEntry> sideEntries;
    for (auto it = packets.cbegin(); it != end; ++it) {
        const Private::Packet& packet = it.value();
        MessagePacketEntry entry;
        entry.pts = packet.pts;
        entry.dts = packet.dts;
        entry.flags = packet.flags;
        entry.data = builder.append(packet.data);
        sideEntries.clear();
        for (const auto& [type, bytes] : packet.sideData)
            sideEntries.push_back({ type, builder.append(bytes) });
        entry.sideData
            = builder.appendTable(std::span<const MessagePacketSideDataEntry>(sideEntries));
        entries.push_back(entry);
    }
    header.packets = builder.appendTable(std::span<const MessagePacketEntry>(entries));
    QByteArray message = builder.take();

    if (m_d->m_logger->isLevelEnabled(log::Level::debug))
        m_d->m_logger->debug("Упаковано %1 пакетов в %2 байт", count, message.size());
    packets.erase(packets.begin(), end);
    return message;
}

void Encoder::clearPackets()
{
    m_d->m_packets.clear();
}

} // namespace vesk
