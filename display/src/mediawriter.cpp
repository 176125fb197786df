#include "mediawriter.h"

#include <vesk/averror.h>

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <utility>

namespace vesk::display {

namespace {

QString errorText(int code)
{
    return QString::fromStdString(AvError::errorString(code));
}

// The bitstream filter that `format` needs for packets of `codec`, or null when they pass as
// they are. MPEG-TS and the raw elementary streams carry H.264 and H.265 with start codes and the
// parameter sets in band; MP4, Matroska and the like keep the length-prefixed form of the sender's
// files. Both filters pass packets through that are in start-code form already.
const char* startCodeFilter(AVCodecID codec, const AVOutputFormat* format)
{
    static constexpr const char* startCodeFormats[] = { "mpegts", "h264", "hevc" };
    if (std::ranges::none_of(
            startCodeFormats, [&](const char* name) { return !std::strcmp(format->name, name); }))
        return nullptr;
    switch (codec) {
    case AV_CODEC_ID_H264:
        return "h264_mp4toannexb";
    case AV_CODEC_ID_HEVC:
        return "hevc_mp4toannexb";
    default:
        return nullptr;
    }
}

} // namespace

MediaWriter::MediaWriter(QString path)
    : m_path(std::move(path))
{
}

MediaWriter::~MediaWriter()
{
    // Callers that want to know whether the file is complete call finish() themselves.
    QString ignored;
    finish(ignored);
}

QString MediaWriter::segmentName(const QString& path, int n)
{
    if (n == 0 || path == "-")
        return path;
    const QFileInfo info(path);
    const QString suffix = info.completeSuffix();
    const QString base = suffix.isEmpty() ? path : path.left(path.size() - suffix.size() - 1);
    return QString("%1-%2%3").arg(base).arg(n).arg(suffix.isEmpty() ? QString() : "." + suffix);
}

bool MediaWriter::begin(const AVCodecParameters* parameters, AVRational timeBase, QString& error)
{
    const bool finished = finish(error);
    m_parameters.reset(pointer::DefaultCopier<AVCodecParameters>()(parameters));
    m_timeBase = timeBase;
    m_lastDts = AV_NOPTS_VALUE;
    m_keyPts = AV_NOPTS_VALUE;
    if (!m_parameters) {
        error = "out of memory";
        return false;
    }
    return finished;
}

bool MediaWriter::open(QString& error)
{
    const bool toStdout = m_path == "-";
    m_name = segmentName(m_path, m_segments);
    const QByteArray target = toStdout ? QByteArray("pipe:1") : m_name.toUtf8();
    int ret = avformat_alloc_output_context2(
        &m_context, nullptr, toStdout ? "mpegts" : nullptr, target.constData());
    if (ret < 0 || !m_context) {
        error = QString("cannot write %1: %2").arg(m_name, errorText(ret));
        m_context = nullptr;
        return false;
    }
    const AVCodecParameters* parameters = m_parameters.get();
    if (const char* name = startCodeFilter(parameters->codec_id, m_context->oformat)) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name(name);
        AVBSFContext* context = nullptr;
        ret = filter ? av_bsf_alloc(filter, &context) : AVERROR_BSF_NOT_FOUND;
        m_filter.reset(context);
        if (ret >= 0 && (ret = avcodec_parameters_copy(m_filter->par_in, parameters)) >= 0) {
            m_filter->time_base_in = m_timeBase;
            ret = av_bsf_init(m_filter.get());
        }
        if (ret < 0) {
            error = QString("cannot convert the packets for %1 (%2): %3")
                        .arg(m_name, name, errorText(ret));
            close(false);
            return false;
        }
        // The parameter sets in start-code form, as the container states them.
        parameters = m_filter->par_out;
    }
    if (!m_filtered)
        m_filtered.reset(av_packet_alloc());
    AVStream* stream = avformat_new_stream(m_context, nullptr);
    ret = AVERROR(ENOMEM);
    if (!m_filtered || !stream
        || (ret = avcodec_parameters_copy(stream->codecpar, parameters)) < 0) {
        error = QString("cannot write %1: %2").arg(m_name, errorText(ret));
        close(false);
        return false;
    }
    // The sender's tag may belong to another container.
    stream->codecpar->codec_tag = 0;
    stream->time_base = m_filter ? m_filter->time_base_out : m_timeBase;
    if (!(m_context->oformat->flags & AVFMT_NOFILE)
        && (ret = avio_open(&m_context->pb, target.constData(), AVIO_FLAG_WRITE)) < 0) {
        error = QString("cannot open %1: %2").arg(m_name, errorText(ret));
        close(false);
        return false;
    }
    if ((ret = avformat_write_header(m_context, nullptr)) < 0) {
        error = QString("cannot write the header of %1: %2").arg(m_name, errorText(ret));
        close(false);
        return false;
    }
    ++m_segments;
    m_shift.reset();
    return true;
}

bool MediaWriter::write(const AVPacket* packet, QString& error)
{
    // An empty packet holds no picture (a damaged message yields one), and a bitstream filter
    // would take it for the end of the stream.
    if (!m_parameters || packet->size <= 0)
        return true;
    if (!m_context) {
        // Nothing before a key frame can be decoded in a file that starts with it.
        if (!(packet->flags & AV_PKT_FLAG_KEY))
            return true;
        if (!open(error))
            return false;
        m_keyPts = packet->pts;
    } else if (packet->pts != AV_NOPTS_VALUE && m_keyPts != AV_NOPTS_VALUE
        && packet->pts < m_keyPts) {
        // A leading picture of an open group of pictures: it refers to a picture before the key
        // frame, which the file does not have.
        return true;
    }
    if (packet->dts != AV_NOPTS_VALUE && m_lastDts != AV_NOPTS_VALUE && packet->dts <= m_lastDts)
        return true;
    PacketPointer copy(av_packet_clone(packet));
    if (!copy) {
        error = "out of memory";
        return false;
    }
    if (packet->dts != AV_NOPTS_VALUE)
        m_lastDts = packet->dts;
    return send(copy.get(), error);
}

bool MediaWriter::send(AVPacket* packet, QString& error)
{
    if (!m_filter)
        return !packet || mux(packet, error);
    int ret = av_bsf_send_packet(m_filter.get(), packet);
    while (ret >= 0) {
        ret = av_bsf_receive_packet(m_filter.get(), m_filtered.get());
        if (ret >= 0 && !mux(m_filtered.get(), error))
            return false;
    }
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
        return true;
    error = QString("cannot convert a packet for %1: %2").arg(m_name, errorText(ret));
    return false;
}

bool MediaWriter::mux(AVPacket* packet, QString& error)
{
    packet->stream_index = 0;
    const AVRational timeBase = m_context->streams[0]->time_base;
    av_packet_rescale_ts(packet, m_filter ? m_filter->time_base_out : m_timeBase, timeBase);
    if (m_path == "-")
        follow(packet, timeBase);
    // Takes the packet's data and leaves it blank.
    const int ret = av_interleaved_write_frame(m_context, packet);
    if (ret < 0) {
        error = QString("cannot write a packet to %1: %2").arg(m_name, errorText(ret));
        return false;
    }
    return true;
}

void MediaWriter::follow(AVPacket* packet, AVRational timeBase)
{
    const std::int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (!m_shift) {
        m_shift = m_followingStart == AV_NOPTS_VALUE || dts == AV_NOPTS_VALUE
            ? 0
            : av_rescale_q(m_followingStart, AV_TIME_BASE_Q, timeBase) - dts;
        m_shiftedDts = AV_NOPTS_VALUE;
    }
    if (packet->dts != AV_NOPTS_VALUE)
        packet->dts += *m_shift;
    if (packet->pts != AV_NOPTS_VALUE)
        packet->pts += *m_shift;
    // The next segment starts one frame after the last picture shown, guessing the length of a
    // frame from the last step of the dts.
    const std::int64_t step = packet->dts != AV_NOPTS_VALUE && m_shiftedDts != AV_NOPTS_VALUE
        ? packet->dts - m_shiftedDts
        : 1;
    if (packet->dts != AV_NOPTS_VALUE)
        m_shiftedDts = packet->dts;
    const std::int64_t latest = std::max(packet->pts, packet->dts);
    if (latest != AV_NOPTS_VALUE)
        m_followingStart
            = std::max(m_followingStart, av_rescale_q(latest + step, timeBase, AV_TIME_BASE_Q));
}

int MediaWriter::close(bool withTrailer)
{
    int ret = 0;
    if (m_context) {
        // Without a header there is nothing a trailer could finish.
        if (withTrailer)
            ret = av_write_trailer(m_context);
        if (!(m_context->oformat->flags & AVFMT_NOFILE)) {
            const int closed = avio_closep(&m_context->pb);
            ret = ret < 0 ? ret : closed;
        }
        avformat_free_context(m_context);
        m_context = nullptr;
    }
    m_filter.reset();
    return ret;
}

bool MediaWriter::finish(QString& error)
{
    if (!m_context)
        return true;
    // What the filter still holds belongs to this file.
    const bool flushed = send(nullptr, error);
    const int ret = close(true);
    if (flushed && ret < 0) {
        error = QString("cannot finish %1: %2").arg(m_name, errorText(ret));
        return false;
    }
    return flushed;
}

} // namespace vesk::display
