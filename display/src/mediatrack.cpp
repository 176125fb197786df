#include "mediatrack.h"

#include <vesk/averror.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace vesk::display {

namespace {

QString errorText(int code)
{
    return QString::fromStdString(AvError::errorString(code));
}

bool named(const AVOutputFormat* format, std::initializer_list<const char*> names)
{
    return std::ranges::any_of(
        names, [&](const char* name) { return !std::strcmp(format->name, name); });
}

// The bitstream filter that `format` needs for packets of `codec`, or null when they pass as
// they are. MPEG-TS and the raw elementary streams carry H.264 and H.265 with start codes and the
// parameter sets in band; MP4, Matroska and the like keep the length-prefixed form of the sender's
// files. AAC keeps its configuration apart from the packets everywhere but in MPEG-TS (whose
// muxer writes the ADTS headers itself from that configuration) and the raw ADTS and LATM
// streams.
const char* filterFor(AVCodecID codec, const AVOutputFormat* format)
{
    switch (codec) {
    case AV_CODEC_ID_H264:
        return named(format, { "mpegts", "h264" }) ? "h264_mp4toannexb" : nullptr;
    case AV_CODEC_ID_HEVC:
        return named(format, { "mpegts", "hevc" }) ? "hevc_mp4toannexb" : nullptr;
    case AV_CODEC_ID_AAC:
        return named(format, { "mpegts", "adts", "latm" }) ? nullptr : "aac_adtstoasc";
    default:
        return nullptr;
    }
}

} // namespace

MediaTrack::MediaTrack(StreamTrack kind, const AVCodecParameters* parameters, AVRational timeBase)
    : m_kind(kind)
    , m_parameters(pointer::DefaultCopier<AVCodecParameters>()(parameters))
    , m_timeBase(timeBase)
    , m_filtered(av_packet_alloc())
{
    if (!m_filtered)
        m_parameters.reset();
}

bool MediaTrack::addTo(AVFormatContext* context, const QString& name, QString& error)
{
    const AVCodecParameters* parameters = m_parameters.get();
    int ret = 0;
    if (const char* filterName = filterFor(parameters->codec_id, context->oformat)) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name(filterName);
        AVBSFContext* raw = nullptr;
        ret = filter ? av_bsf_alloc(filter, &raw) : AVERROR_BSF_NOT_FOUND;
        m_filter.reset(raw);
        if (ret >= 0 && (ret = avcodec_parameters_copy(m_filter->par_in, parameters)) >= 0) {
            m_filter->time_base_in = m_timeBase;
            ret = av_bsf_init(m_filter.get());
        }
        if (ret < 0) {
            error = QString("cannot convert the %1 packets for %2 (%3): %4")
                        .arg(streamTrackName(m_kind), name, filterName, errorText(ret));
            m_filter.reset();
            return false;
        }
        // The configuration as the container states it (the parameter sets in start-code form).
        parameters = m_filter->par_out;
    }
    AVStream* stream = avformat_new_stream(context, nullptr);
    ret = AVERROR(ENOMEM);
    if (!stream || (ret = avcodec_parameters_copy(stream->codecpar, parameters)) < 0) {
        error = QString("cannot write %1: %2").arg(name, errorText(ret));
        return false;
    }
    // The sender's tag may belong to another container.
    stream->codecpar->codec_tag = 0;
    stream->time_base = filteredTimeBase();
    m_stream = stream->index;
    m_lastDts = AV_NOPTS_VALUE;
    return true;
}

bool MediaTrack::takes(const AVPacket* packet)
{
    if (packet->dts == AV_NOPTS_VALUE)
        return true;
    if (m_lastDts != AV_NOPTS_VALUE && packet->dts <= m_lastDts)
        return false;
    m_lastDts = packet->dts;
    return true;
}

bool MediaTrack::send(AVPacket* packet, const Mux& mux, QString& error)
{
    if (!m_filter) {
        if (!packet)
            return true;
        packet->stream_index = m_stream;
        return mux(packet, error);
    }
    int ret = av_bsf_send_packet(m_filter.get(), packet);
    while (ret >= 0) {
        ret = av_bsf_receive_packet(m_filter.get(), m_filtered.get());
        if (ret >= 0) {
            m_filtered->stream_index = m_stream;
            if (!mux(m_filtered.get(), error))
                return false;
        }
    }
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
        return true;
    error = QString("cannot convert a %1 packet: %2").arg(streamTrackName(m_kind), errorText(ret));
    return false;
}

} // namespace vesk::display
