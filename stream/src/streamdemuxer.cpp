#include "streamdemuxer.h"

#include <vesk/averror.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

namespace vesk::detail {

StreamDemuxer::StreamDemuxer(std::function<bool()> interrupted)
    : m_interrupted(std::move(interrupted))
{
}

QString StreamDemuxer::errorText(int code)
{
    return QString::fromStdString(AvError::errorString(code));
}

QString StreamDemuxer::open(const QString& path)
{
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return "out of memory";
    raw->interrupt_callback.callback
        = [](void* self) -> int { return static_cast<StreamDemuxer*>(self)->m_interrupted(); };
    raw->interrupt_callback.opaque = this;
    // avformat_open_input frees the context when it fails.
    if (const int ret = avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr);
        ret < 0)
        return errorText(ret);
    m_input.reset(raw);
    if (const int ret = avformat_find_stream_info(m_input.get(), nullptr); ret < 0)
        return errorText(ret);
    m_index = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_index < 0)
        m_index = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (m_index < 0)
        return "no video or audio";
    for (unsigned int i = 0; i < m_input->nb_streams; ++i)
        if (int(i) != m_index)
            m_input->streams[i]->discard = AVDISCARD_ALL;
    return {};
}

const AVCodecParameters* StreamDemuxer::parameters() const
{
    return m_input->streams[m_index]->codecpar;
}

StreamPacer::Timing StreamDemuxer::timing() const
{
    const AVStream* stream = m_input->streams[m_index];
    StreamPacer::Timing timing;
    timing.timeBase = stream->time_base;
    timing.origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    timing.fileTicks = stream->duration > 0 ? stream->duration
        : m_input->duration > 0 ? av_rescale_q(m_input->duration, AV_TIME_BASE_Q, timing.timeBase)
                                : 0;
    // Without a usable frame rate a packet of unknown duration counts as one tick.
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        timing.frameTicks = std::max<std::int64_t>(
            1, av_rescale_q(1, av_inv_q(stream->avg_frame_rate), timing.timeBase));
    return timing;
}

int StreamDemuxer::seek(std::int64_t ts)
{
    return av_seek_frame(m_input.get(), m_index, ts, AVSEEK_FLAG_BACKWARD);
}

int StreamDemuxer::rewind()
{
    const std::int64_t origin = timing().origin;
    const int ret = seek(origin);
    return ret >= 0 ? ret
                    : avformat_seek_file(m_input.get(), m_index, INT64_MIN, origin, origin, 0);
}

int StreamDemuxer::read(AVPacket* packet)
{
    while (true) {
        if (const int ret = av_read_frame(m_input.get(), packet); ret < 0)
            return ret;
        if (packet->stream_index == m_index)
            return 0;
        av_packet_unref(packet);
    }
}

} // namespace vesk::detail
