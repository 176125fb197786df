// Internal to libvesk_format, not API.
#pragma once

#include <vesk/decoder.h>

#include <vesk/log/logger.h>

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>

#include <utility>

namespace vesk {

class Decoder::Private : public QObject
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
        // The configuration of the message that carried the packet; consecutive messages share
        // one copy of each.
        QByteArray codecParameters;
        QByteArray extradata;
        QByteArray metadata;
    };

    Private();

    // Parameters for a configuration, owned by the caller; changes no state.
    static int buildParameters(
        const QByteArray& image, const QByteArray& extradata, AVCodecParameters** out);

    QMap<qint64, Packet> m_packets;
    QByteArray m_codecParameters;
    QByteArray m_extradata;
    QByteArray m_metadata;
    log::Logger* m_logger;
};

} // namespace vesk
