#include "mediawriter.h"

#include <vesk/averror.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <QFileInfo>

#include <algorithm>

namespace vesk::display {

namespace {

QString errorText(int code)
{
    return QString::fromStdString(AvError::errorString(code));
}

// When the packet is shown (its dts when it has no pts), in microseconds; nothing without either.
std::optional<std::int64_t> shownUs(const AVPacket* packet, AVRational timeBase)
{
    const std::int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (at == AV_NOPTS_VALUE)
        return std::nullopt;
    return av_rescale_q(at, timeBase, AV_TIME_BASE_Q);
}

} // namespace

MediaWriter::MediaWriter(QString path)
    : MediaWriter(std::move(path), Limits {})
{
}

MediaWriter::MediaWriter(QString path, Limits limits)
    : m_path(std::move(path))
    , m_limits(limits)
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

MediaTrack* MediaWriter::track(StreamTrack kind) const
{
    for (const std::unique_ptr<MediaTrack>& t : m_tracks)
        if (t->kind() == kind)
            return t.get();
    return nullptr;
}

StreamTrack MediaWriter::leading() const
{
    return std::ranges::count(m_announced, StreamTrack::video) ? StreamTrack::video
                                                               : StreamTrack::audio;
}

bool MediaWriter::begin(const Configuration& configuration, QString& error)
{
    if (!m_stopped.isEmpty())
        return stop(m_stopped, error);
    bool finished = true;
    if (configuration.slot != m_slot || track(configuration.track)) {
        finished = finish(error);
        m_slot = configuration.slot;
        m_announced = configuration.tracks.empty()
            ? std::vector<StreamTrack> { configuration.track }
            : configuration.tracks;
    }
    // A track whose configuration comes after the file was opened stays out of it.
    if (m_context)
        return finished;
    auto added = std::make_unique<MediaTrack>(
        configuration.track, configuration.parameters, configuration.timeBase);
    if (!added->valid()) {
        error = "out of memory";
        return false;
    }
    m_tracks.push_back(std::move(added));
    return openWhenReady(error) && finished;
}

bool MediaWriter::write(
    StreamTrack kind, const StreamSlot& slot, const AVPacket* packet, QString& error)
{
    if (!m_stopped.isEmpty())
        return stop(m_stopped, error);
    MediaTrack* t = track(kind);
    // An empty packet holds no picture (a damaged message yields one), and a bitstream filter
    // would take it for the end of the stream.
    if (!t || slot != m_slot || packet->size <= 0)
        return true;
    PacketPointer copy(av_packet_clone(packet));
    if (!copy) {
        error = "out of memory";
        return false;
    }
    if (m_context)
        return take(*t, std::move(copy), error);
    const std::optional<std::int64_t> shown = shownUs(packet, t->timeBase());
    if (kind == leading() && shown) {
        if (!m_startUs) {
            // Nothing before a key frame can be decoded in a file that starts with it.
            if (!(packet->flags & AV_PKT_FLAG_KEY))
                return true;
            m_startUs = m_latestUs = *shown;
            m_originUs = packet->dts != AV_NOPTS_VALUE
                ? av_rescale_q(packet->dts, t->timeBase(), AV_TIME_BASE_Q)
                : *shown;
        }
        m_latestUs = std::max(m_latestUs, *shown);
    }
    m_pendingBytes += copy->size;
    m_pending.emplace_back(kind, std::move(copy));
    // Waiting for a key frame, the others' oldest packets go; once it is there, waiting ends.
    while (pendingFull() && !m_startUs) {
        m_pendingBytes -= m_pending.front().second->size;
        m_pending.pop_front();
    }
    return openWhenReady(error);
}

bool MediaWriter::openWhenReady(QString& error)
{
    if (m_context || !m_startUs)
        return true;
    const bool complete = std::ranges::all_of(
        m_announced, [&](StreamTrack kind) { return track(kind) != nullptr; });
    if (!complete && m_latestUs - *m_startUs < waitForTracksUs && !pendingFull())
        return true;
    if (!open(error))
        return false;
    std::deque<std::pair<StreamTrack, PacketPointer>> pending = std::move(m_pending);
    m_pending.clear();
    m_pendingBytes = 0;
    for (auto& [kind, packet] : pending)
        if (!take(*track(kind), std::move(packet), error))
            return false;
    return true;
}

bool MediaWriter::open(QString& error)
{
    if (m_segments >= m_limits.maxFiles)
        return stop(
            QString("the recording stopped at its limit of %1 files (--max-files)").arg(m_segments),
            error);
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
    // Picture first, whichever configuration came first: the files on standard output follow one
    // another in one stream, whose readers know a track by its place (its MPEG-TS PID).
    std::ranges::sort(m_tracks, {}, [](const std::unique_ptr<MediaTrack>& t) { return t->kind(); });
    for (const std::unique_ptr<MediaTrack>& t : m_tracks)
        if (!t->addTo(m_context, m_name, error)) {
            close(false);
            return false;
        }
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
    m_shiftUs = m_followingStart ? *m_followingStart - m_originUs : 0;
    m_lastDts.assign(m_context->nb_streams, AV_NOPTS_VALUE);
    return true;
}

bool MediaWriter::take(MediaTrack& track, PacketPointer packet, QString& error)
{
    // Before the file's start: sound before the first picture, and the leading pictures of an
    // open group of pictures, which refer to a picture before the key frame.
    const std::optional<std::int64_t> shown = shownUs(packet.get(), track.timeBase());
    if (shown && *shown < *m_startUs)
        return true;
    if (!track.takes(packet.get()))
        return true;
    return track.send(
        packet.get(),
        [&](AVPacket* filtered, QString& failure) { return mux(track, filtered, failure); }, error);
}

bool MediaWriter::mux(const MediaTrack& track, AVPacket* packet, QString& error)
{
    const AVRational timeBase = m_context->streams[packet->stream_index]->time_base;
    av_packet_rescale_ts(packet, track.filteredTimeBase(), timeBase);
    if (m_path == "-")
        follow(packet, timeBase);
    if (written() + packet->size > m_limits.maxBytes) {
        av_packet_unref(packet);
        return stop(QString("the recording stopped at its limit of %1 bytes (--max-bytes)")
                        .arg(m_limits.maxBytes),
            error);
    }
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
    const std::int64_t shift = av_rescale_q(m_shiftUs, AV_TIME_BASE_Q, timeBase);
    if (packet->dts != AV_NOPTS_VALUE)
        packet->dts += shift;
    if (packet->pts != AV_NOPTS_VALUE)
        packet->pts += shift;
    // The next file starts one frame after the latest moment shown here, guessing the length of
    // a frame from the last step of the stream's dts, so that time stamps keep growing across
    // files.
    std::int64_t& last = m_lastDts[std::size_t(packet->stream_index)];
    const std::int64_t step
        = packet->dts != AV_NOPTS_VALUE && last != AV_NOPTS_VALUE ? packet->dts - last : 1;
    if (packet->dts != AV_NOPTS_VALUE)
        last = packet->dts;
    const std::int64_t latest = std::max(packet->pts, packet->dts);
    if (latest != AV_NOPTS_VALUE)
        m_followingStart = std::max(m_followingStart.value_or(INT64_MIN),
            av_rescale_q(latest + step, timeBase, AV_TIME_BASE_Q));
}

int MediaWriter::close(bool withTrailer)
{
    int ret = 0;
    if (m_context) {
        // Without a header there is nothing a trailer could finish.
        if (withTrailer)
            ret = av_write_trailer(m_context);
        m_completedBytes = written();
        if (!(m_context->oformat->flags & AVFMT_NOFILE)) {
            const int closed = avio_closep(&m_context->pb);
            ret = ret < 0 ? ret : closed;
        }
        avformat_free_context(m_context);
        m_context = nullptr;
    }
    m_tracks.clear();
    m_pending.clear();
    m_pendingBytes = 0;
    m_startUs.reset();
    return ret;
}

qint64 MediaWriter::written() const
{
    return m_completedBytes + (m_context && m_context->pb ? avio_tell(m_context->pb) : 0);
}

bool MediaWriter::stop(const QString& reason, QString& error)
{
    m_stopped = reason;
    error = reason;
    return false;
}

bool MediaWriter::finish(QString& error)
{
    bool flushed = true;
    // What the filters still hold belongs to this file, unless a limit was reached.
    if (m_context && m_stopped.isEmpty())
        for (const std::unique_ptr<MediaTrack>& t : m_tracks)
            flushed = flushed
                && t->send(
                    nullptr,
                    [&](AVPacket* filtered, QString& failure) {
                        return mux(*t, filtered, failure);
                    },
                    error);
    const int ret = close(m_context != nullptr);
    if (flushed && ret < 0) {
        error = QString("cannot finish %1: %2").arg(m_name, errorText(ret));
        return false;
    }
    return flushed;
}

} // namespace vesk::display
