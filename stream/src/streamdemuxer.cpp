#include "streamdemuxer.h"

#include <vesk/averror.h>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace vesk::detail {

namespace {

constexpr int ioBufferSize = 64 * 1024;

int readDescriptor(void* opaque, std::uint8_t* buffer, int size)
{
    const int fd = *static_cast<const int*>(opaque);
    while (true) {
        const ssize_t got = ::read(fd, buffer, std::size_t(size));
        if (got > 0)
            return int(got);
        if (got == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

std::int64_t seekDescriptor(void* opaque, std::int64_t offset, int whence)
{
    const int fd = *static_cast<const int*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status
        {
        };
        return ::fstat(fd, &status) == 0 ? std::int64_t(status.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
}

// Every further file a demuxer would open (segments, references, a subtitle beside the media).
int refuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**)
{
    return AVERROR(EPERM);
}

std::int64_t frameTicksOf(const AVStream* stream)
{
    const AVCodecParameters* parameters = stream->codecpar;
    std::int64_t ticks = 0;
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && stream->avg_frame_rate.num > 0
        && stream->avg_frame_rate.den > 0)
        ticks = av_rescale_q(1, av_inv_q(stream->avg_frame_rate), stream->time_base);
    else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO && parameters->frame_size > 0
        && parameters->sample_rate > 0)
        ticks = av_rescale_q(
            parameters->frame_size, AVRational { 1, parameters->sample_rate }, stream->time_base);
    return std::max<std::int64_t>(1, ticks);
}

} // namespace

// Released in the reverse order of their making: the demuxer, then the reader it used, then the
// descriptor the reader read.
struct StreamDemuxer::Input
{
    file::Descriptor media;
    int fd = -1;
    AVIOContext* io = nullptr;
    AVFormatContext* context = nullptr;

    ~Input()
    {
        avformat_close_input(&context);
        if (io)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

StreamDemuxer::StreamDemuxer(std::function<bool()> interrupted)
    : m_interrupted(std::move(interrupted))
{
}

StreamDemuxer::~StreamDemuxer() = default;

QString StreamDemuxer::errorText(int code)
{
    return QString::fromStdString(AvError::errorString(code));
}

const QStringList& StreamDemuxer::allowedFormats()
{
    // Containers and plain audio files that hold their media themselves. Left out on purpose:
    // playlists (hls, dash), lists of other files (concat), image sequences and single pictures
    // (image2 and the *_pipe readers), and everything else that could read beyond the file.
    static const QStringList formats { "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "mpegts", "avi",
        "mpeg", "mp3", "aac", "wav", "ogg", "flac" };
    return formats;
}

QString StreamDemuxer::open(file::Descriptor media, bool withSound)
{
    m_input = std::make_unique<Input>();
    m_input->media = std::move(media);
    m_input->fd = m_input->media.get();
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(ioBufferSize));
    if (buffer)
        m_input->io = avio_alloc_context(
            buffer, ioBufferSize, 0, &m_input->fd, readDescriptor, nullptr, seekDescriptor);
    if (!m_input->io) {
        av_free(buffer);
        return "out of memory";
    }
    const AVInputFormat* format = nullptr;
    if (const int ret = av_probe_input_buffer2(m_input->io, &format, "", nullptr, 0, 0); ret < 0)
        return errorText(ret);
    if (!allowedFormats().contains(QString::fromUtf8(format->name)))
        return QString("the container format %1 is not allowed").arg(format->name);

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return "out of memory";
    raw->pb = m_input->io;
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->io_open = refuseOpen;
    raw->interrupt_callback.callback
        = [](void* self) -> int { return static_cast<StreamDemuxer*>(self)->m_interrupted(); };
    raw->interrupt_callback.opaque = this;
    // avformat_open_input frees the context when it fails.
    if (const int ret = avformat_open_input(&raw, nullptr, format, nullptr); ret < 0)
        return errorText(ret);
    m_input->context = raw;
    if (const int ret = avformat_find_stream_info(raw, nullptr); ret < 0)
        return errorText(ret);
    return select(withSound);
}

QString StreamDemuxer::select(bool withSound)
{
    AVFormatContext* context = m_input->context;
    int video = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    // A cover picture of a sound file is no picture to show.
    if (video >= 0 && (context->streams[video]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        video = -1;
    const int audio = withSound
        ? av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0)
        : AVERROR_STREAM_NOT_FOUND;
    if (video < 0 && audio < 0)
        return withSound ? "no video or audio" : "no video";
    m_trackOf.assign(context->nb_streams, -1);
    const std::pair<StreamTrack, int> chosen[]
        = { { StreamTrack::video, video }, { StreamTrack::audio, audio } };
    for (const auto& [kind, index] : chosen) {
        if (index < 0)
            continue;
        const AVStream* stream = context->streams[index];
        m_trackOf[std::size_t(index)] = int(m_tracks.size());
        m_tracks.push_back(
            { kind, index, stream->codecpar, stream->time_base, frameTicksOf(stream) });
    }
    for (unsigned int i = 0; i < context->nb_streams; ++i)
        if (m_trackOf[i] < 0)
            context->streams[i]->discard = AVDISCARD_ALL;
    return {};
}

std::int64_t StreamDemuxer::startUs() const
{
    const AVStream* stream = m_input->context->streams[m_tracks.front().stream];
    return stream->start_time == AV_NOPTS_VALUE
        ? 0
        : av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
}

std::int64_t StreamDemuxer::lengthUs() const
{
    const AVFormatContext* context = m_input->context;
    if (context->duration > 0)
        return context->duration;
    const AVStream* stream = context->streams[m_tracks.front().stream];
    return stream->duration > 0 ? av_rescale_q(stream->duration, stream->time_base, AV_TIME_BASE_Q)
                                : 0;
}

int StreamDemuxer::seek(std::int64_t us)
{
    const Track& leading = m_tracks.front();
    return av_seek_frame(m_input->context, leading.stream,
        av_rescale_q(us, AV_TIME_BASE_Q, leading.timeBase), AVSEEK_FLAG_BACKWARD);
}

int StreamDemuxer::rewind()
{
    const Track& leading = m_tracks.front();
    const std::int64_t origin = av_rescale_q(startUs(), AV_TIME_BASE_Q, leading.timeBase);
    const int ret = av_seek_frame(m_input->context, leading.stream, origin, AVSEEK_FLAG_BACKWARD);
    return ret >= 0
        ? ret
        : avformat_seek_file(m_input->context, leading.stream, INT64_MIN, origin, origin, 0);
}

int StreamDemuxer::read(AVPacket* packet, std::size_t& track)
{
    while (true) {
        if (const int ret = av_read_frame(m_input->context, packet); ret < 0)
            return ret;
        const int position
            = packet->stream_index >= 0 && std::size_t(packet->stream_index) < m_trackOf.size()
            ? m_trackOf[std::size_t(packet->stream_index)]
            : -1;
        if (position >= 0) {
            track = std::size_t(position);
            if (packet->duration <= 0)
                packet->duration = m_tracks[track].frameTicks;
            return 0;
        }
        av_packet_unref(packet);
    }
}

} // namespace vesk::detail
