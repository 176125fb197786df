#include "streambatcher.h"

namespace vesk::detail {

StreamBatcher::StreamBatcher(const QJsonDocument& metadata, const AVCodecParameters* parameters)
{
    m_encoder.setHeader(metadata, parameters);
}

void StreamBatcher::add(const AVPacket* packet, bool codecChange)
{
    m_encoder.addPacket(packet, codecChange);
    m_bytes += packet->size;
}

QByteArray StreamBatcher::take()
{
    m_bytes = 0;
    return m_encoder.takeResult();
}

} // namespace vesk::detail
