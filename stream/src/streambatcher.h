// Internal to libvesk_stream, not API.
#pragma once

#include <vesk/encoder.h>

#include <QByteArray>
#include <QJsonDocument>

namespace vesk::detail {

// Gathers the packets that are due at one moment into one message. A message is full at
// maxPackets packets or maxBytes bytes of payload, even when more packets are due at once (a
// burst after a seek, a large key frame).
class StreamBatcher
{
public:
    static constexpr qint64 maxPackets = 8;
    static constexpr qint64 maxBytes = 64 * 1024;

    StreamBatcher(const QJsonDocument& metadata, const AVCodecParameters* parameters);

    // With codecChange the display reconfigures its decoder before this packet.
    void add(const AVPacket* packet, bool codecChange);
    bool empty() const { return m_encoder.packets() == 0; }
    bool full() const { return m_encoder.packets() >= maxPackets || m_bytes >= maxBytes; }
    // The message of the packets gathered so far; they leave the batch.
    QByteArray take();

private:
    Encoder m_encoder;
    qint64 m_bytes = 0;
};

} // namespace vesk::detail
