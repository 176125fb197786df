#include "streampacer.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

namespace vesk::detail {

StreamPacer::StreamPacer(
    const Timing& timing, std::chrono::milliseconds position, Steady::time_point anchor)
    : m_timing(timing)
    , m_position(position)
    , m_anchor(anchor)
    , m_lastEnd(AV_NOPTS_VALUE)
{
    const std::int64_t offset
        = av_rescale_q(position.count(), AVRational { 1, 1000 }, timing.timeBase);
    m_reference = timing.origin + offset;
    m_shift = timing.fileTicks > 0 ? offset / timing.fileTicks * timing.fileTicks : 0;
}

std::optional<std::int64_t> StreamPacer::seekTarget() const
{
    if (m_position.count() <= 0)
        return std::nullopt;
    return m_reference - m_shift;
}

StreamPacer::Steady::time_point StreamPacer::place(AVPacket* packet)
{
    std::int64_t ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (ts == AV_NOPTS_VALUE)
        ts = m_lastEnd == AV_NOPTS_VALUE ? m_reference : m_lastEnd - m_shift;
    if (m_nextPassStart) {
        m_shift = *m_nextPassStart - ts;
        m_nextPassStart.reset();
    }
    if (m_shift != 0) {
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts += m_shift;
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts += m_shift;
    }
    m_lastEnd = ts + m_shift + (packet->duration > 0 ? packet->duration : m_timing.frameTicks);
    ++m_passPackets;
    return m_anchor
        + std::chrono::microseconds(
            av_rescale_q(ts + m_shift - m_reference, m_timing.timeBase, AVRational { 1, 1000000 }));
}

bool StreamPacer::nextPass()
{
    if (m_passPackets == 0 || m_lastEnd == AV_NOPTS_VALUE)
        return false;
    m_nextPassStart = m_lastEnd;
    m_passPackets = 0;
    return true;
}

} // namespace vesk::detail
