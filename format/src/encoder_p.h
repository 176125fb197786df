// Internal to libvesk_format, not API.
#pragma once

#include <vesk/encoder.h>

#include <vesk/log/logger.h>

#include <QByteArray>
#include <QList>
#include <QMap>

#include <utility>

namespace vesk {

class Encoder::Private
{
public:
    struct Packet
    {
        qint64 pts = 0;
        qint64 dts = 0;
        // The packet's flags in bits 0 to 30, the codec-change marker in bit 31.
        quint32 flags = 0;
        QByteArray data;
        QList<std::pair<AVPacketSideDataType, QByteArray>> sideData;
    };

    Private();

    QByteArray m_metadata;
    QByteArray m_codecParameters;
    QByteArray m_extradata;
    QMap<qint64, Packet> m_packets;
    log::Logger* m_logger;
};

} // namespace vesk
