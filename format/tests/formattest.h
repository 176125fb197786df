// Helpers shared by the format tests.
#pragma once

#include <vesk/pointer.h>

#include "logcapture.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <span>
#include <utility>

namespace vesk::test {

using SideData = QList<std::pair<AVPacketSideDataType, QByteArray>>;

// A packet with a payload and side-data items, owned by the returned Pointer.
PacketPointer makePacket(std::int64_t dts, std::int64_t pts, int flags, const QByteArray& data,
    const SideData& sideData = {});

QByteArray payloadOf(const AVPacket* packet);
SideData sideDataOf(const AVPacket* packet);

inline std::span<const std::uint8_t> bytesOf(const QByteArray& message)
{
    return { reinterpret_cast<const std::uint8_t*>(message.constData()),
        static_cast<std::size_t>(message.size()) };
}

// Little-endian fields of a message, for tests that look at or damage single fields.
std::uint64_t fieldAt(const QByteArray& message, qsizetype offset, int width);
void setFieldAt(QByteArray& message, qsizetype offset, int width, std::uint64_t value);

} // namespace vesk::test
