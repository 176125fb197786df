#include "streampacer.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>

namespace vesk::detail {

StreamPacer::StreamPacer(const Timing& timing, std::chrono::microseconds position,
    std::chrono::microseconds slot, Steady::time_point anchor)
    : m_timing(timing)
    , m_positionUs(std::max<std::int64_t>(0, position.count()))
    , m_slotUs(slot.count())
    , m_anchor(anchor)
{
    if (timing.lengthUs > 0) {
        m_pass = m_positionUs / timing.lengthUs;
        m_shiftUs = m_pass * timing.lengthUs;
        m_whole = fits(m_shiftUs, timing.lengthUs);
    }
}

bool StreamPacer::fits(std::int64_t shiftUs, std::int64_t lengthUs) const
{
    return shiftUs + lengthUs <= m_slotUs + slack.count();
}

std::optional<std::int64_t> StreamPacer::seekTarget() const
{
    const std::int64_t into = m_positionUs - m_shiftUs;
    if (resting() || into <= 0)
        return std::nullopt;
    return m_timing.startUs + into;
}

std::optional<StreamPacer::Steady::time_point> StreamPacer::place(
    AVPacket* packet, AVRational timeBase)
{
    const std::int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (m_following && packet->pts != AV_NOPTS_VALUE
        && av_rescale_q(packet->pts, timeBase, AV_TIME_BASE_Q) < m_timing.startUs)
        return std::nullopt;
    // A packet without time stamps follows the latest one.
    const std::int64_t atUs = stamp != AV_NOPTS_VALUE
        ? av_rescale_q(stamp, timeBase, AV_TIME_BASE_Q)
        : m_endUs.value_or(m_timing.startUs + m_positionUs - m_shiftUs);
    if (stamp != AV_NOPTS_VALUE) {
        const std::int64_t shown = packet->pts != AV_NOPTS_VALUE ? packet->pts : stamp;
        const std::int64_t endUs = av_rescale_q(
            shown + std::max<std::int64_t>(0, packet->duration), timeBase, AV_TIME_BASE_Q);
        m_endUs = std::max(m_endUs.value_or(endUs), endUs);
    }
    if (m_shiftUs != 0) {
        const std::int64_t shift = av_rescale_q(m_shiftUs, AV_TIME_BASE_Q, timeBase);
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts += shift;
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts += shift;
    }
    ++m_passPackets;
    return m_anchor + std::chrono::microseconds(atUs + m_shiftUs - m_timing.startUs - m_positionUs);
}

bool StreamPacer::nextPass()
{
    if (m_passPackets == 0 || !m_endUs)
        return false;
    // What the file really lasted; the container's figure only decided the first pass.
    const std::int64_t length = *m_endUs - m_timing.startUs;
    const std::int64_t shift = m_shiftUs + length;
    if (length <= 0 || !fits(shift, length))
        return false;
    m_shiftUs = shift;
    ++m_pass;
    m_whole = true;
    m_following = true;
    m_passPackets = 0;
    return true;
}

} // namespace vesk::detail
