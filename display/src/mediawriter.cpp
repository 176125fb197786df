#include "mediawriter.h"

#include <QFileInfo>

#include <utility>

namespace vesk::display {

namespace {

QString errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

} // namespace

MediaWriter::MediaWriter(QString path)
    : m_path(std::move(path))
{
}

MediaWriter::~MediaWriter()
{
    finish();
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
    finish();
    const bool toStdout = m_path == "-";
    const QString name = segmentName(m_path, m_segments);
    const QByteArray target = toStdout ? QByteArray("pipe:1") : name.toUtf8();
    int ret = avformat_alloc_output_context2(
        &m_context, nullptr, toStdout ? "mpegts" : nullptr, target.constData());
    if (ret < 0 || !m_context) {
        error = QString("cannot write %1: %2").arg(name, errorText(ret));
        m_context = nullptr;
        return false;
    }
    AVStream* stream = avformat_new_stream(m_context, nullptr);
    if (!stream || (ret = avcodec_parameters_copy(stream->codecpar, parameters)) < 0) {
        error
            = QString("cannot write %1: %2").arg(name, errorText(ret < 0 ? ret : AVERROR(ENOMEM)));
        discard();
        return false;
    }
    // The sender's tag may belong to another container.
    stream->codecpar->codec_tag = 0;
    stream->time_base = timeBase;
    m_timeBase = timeBase;
    if (!(m_context->oformat->flags & AVFMT_NOFILE)
        && (ret = avio_open(&m_context->pb, target.constData(), AVIO_FLAG_WRITE)) < 0) {
        error = QString("cannot open %1: %2").arg(name, errorText(ret));
        discard();
        return false;
    }
    if ((ret = avformat_write_header(m_context, nullptr)) < 0) {
        error = QString("cannot write the header of %1: %2").arg(name, errorText(ret));
        discard();
        return false;
    }
    ++m_segments;
    m_lastDts = AV_NOPTS_VALUE;
    return true;
}

bool MediaWriter::write(const AVPacket* packet, QString& error)
{
    if (!m_context)
        return true;
    if (packet->dts != AV_NOPTS_VALUE && m_lastDts != AV_NOPTS_VALUE && packet->dts <= m_lastDts)
        return true;
    AVPacket* copy = av_packet_clone(packet);
    if (!copy) {
        error = "out of memory";
        return false;
    }
    copy->stream_index = 0;
    av_packet_rescale_ts(copy, m_timeBase, m_context->streams[0]->time_base);
    if (packet->dts != AV_NOPTS_VALUE)
        m_lastDts = packet->dts;
    const int ret = av_interleaved_write_frame(m_context, copy);
    av_packet_free(&copy);
    if (ret < 0) {
        error = QString("cannot write a packet: %1").arg(errorText(ret));
        return false;
    }
    return true;
}

void MediaWriter::discard()
{
    // Without a header there is nothing a trailer could finish.
    if (!m_context)
        return;
    if (!(m_context->oformat->flags & AVFMT_NOFILE))
        avio_closep(&m_context->pb);
    avformat_free_context(m_context);
    m_context = nullptr;
}

void MediaWriter::finish()
{
    if (!m_context)
        return;
    av_write_trailer(m_context);
    if (!(m_context->oformat->flags & AVFMT_NOFILE))
        avio_closep(&m_context->pb);
    avformat_free_context(m_context);
    m_context = nullptr;
}

} // namespace vesk::display
