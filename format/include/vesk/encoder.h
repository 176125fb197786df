#pragma once

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
}

#include <QByteArray>
#include <QJsonDocument>

#include <cstdint>
#include <memory>

namespace vesk {

// Packs compressed packets of one stream, with the stream's metadata, codec parameters and
// extradata, into self-contained binary messages that Decoder reads back. Every message repeats
// the header data, so a receiver can start with any of them. Does no I/O and never throws.
//
//   Encoder encoder;
//   encoder.setHeader(metadata, stream->codecpar);
//   while (demux(packet)) {
//       encoder.addPacket(packet, false);
//       if (encoder.packets() >= 8)
//           send(encoder.takeResult());
//   }
//
// One thread at a time; distinct encoders are independent. Movable, not copyable; a moved-from
// encoder may only be destroyed or assigned to.
class Encoder
{
public:
    // Largest number of packets one message carries; so is the number of side-data items one packet
    // carries.
    static constexpr qint64 maxPacketsPerMessage = 65535;

    Encoder();
    Encoder(Encoder&& other) noexcept;
    Encoder& operator=(Encoder&& other) noexcept;
    ~Encoder();

    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Stores the metadata as compact JSON and copies the codec parameters and their extradata for
    // every following message. Drops the queued packets: they belong to the previous configuration.
    // parameters must not be null.
    void setHeader(const QJsonDocument& metadata, const AVCodecParameters* parameters);

    // Queues a copy of the packet (payload, pts, dts, flags, side data) under its dts, replacing a
    // queued packet with the same dts; the packet itself is neither changed nor released. With
    // codecChanged the receiver reconfigures its codec before this packet even when the parameters
    // look unchanged. Bit 31 of the packet's flags is reserved for that marker and is not carried
    // otherwise. Only the first maxPacketsPerMessage side-data items are kept (libavcodec itself
    // never attaches that many).
    void addPacket(const AVPacket* packet, bool codecChanged);

    // Number of queued packets.
    qint64 packets() const;

    // One message with the header data and the queued packets in ascending dts order; those
    // packets leave the queue. A message carries at most maxPacketsPerMessage packets and stays
    // below 4 GiB: packets beyond that stay queued, in order, for the next message. Header data
    // stay for the next message too. Before any setHeader the message has empty metadata, codec
    // parameters and extradata.
    QByteArray takeResult();

    // Drops the queued packets; the header data stay.
    void clearPackets();

    class Private;

private:
    std::unique_ptr<Private> m_d;
};

} // namespace vesk
