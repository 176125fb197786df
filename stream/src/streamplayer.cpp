#include "streamplayer.h"

#include <vesk/encoder.h>
#include <vesk/log.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>
#include <memory>

#include <pthread.h>

namespace vesk::detail {

namespace {

using namespace std::chrono_literals;

// Waits for nothing in particular are cut into pieces of this length, so that a jump of the wall
// clock (which the steady clock does not see) is noticed within that time.
constexpr auto longestBlindWait = 60s;
// A slot end reached late by at most this much still continues the schedule where it left off;
// beyond it the schedule is asked about the present.
constexpr qint64 resumeToleranceMs = 2000;

struct InputClose
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using Input = std::unique_ptr<AVFormatContext, InputClose>;

struct PacketFree
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

QString errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// The message format carries no time base, so the time stamps would mean nothing to a display
// without it.
QJsonDocument metadataOf(const StreamPlayer::Slot& slot, AVRational timeBase)
{
    // Local time with its offset, so that a display in another zone reads the same instant.
    const auto withOffset = [](const QDateTime& t) {
        return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODateWithMs);
    };
    return QJsonDocument(QJsonObject {
        { "playlist", slot.playlist },
        { "file", slot.file },
        { "url", slot.url },
        { "start", withOffset(slot.start) },
        { "end", withOffset(slot.end) },
        { "placeholder", slot.placeholder },
        { "timeBase", QString("%1/%2").arg(timeBase.num).arg(timeBase.den) },
    });
}

} // namespace

StreamPlayer::StreamPlayer(log::Logger* logger, Sink sink)
    : m_logger(logger)
    , m_sink(std::move(sink))
{
}

StreamPlayer::~StreamPlayer()
{
    stop();
}

void StreamPlayer::setWorkDir(const QString& path)
{
    const std::lock_guard lock(m_mutex);
    m_workDir = path;
    ++m_changes;
    m_wake.notify_all();
}

void StreamPlayer::setGenerator(QSharedPointer<Generator> generator)
{
    QSharedPointer<Generator> previous;
    {
        const std::lock_guard lock(m_mutex);
        previous = std::exchange(m_generator, std::move(generator));
        ++m_changes;
        m_wake.notify_all();
    }
}

void StreamPlayer::setPlaceholder(const QString& url)
{
    const std::lock_guard lock(m_mutex);
    m_placeholder = url;
    ++m_changes;
    m_wake.notify_all();
}

void StreamPlayer::start()
{
    if (m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = false;
        m_stopFlag = false;
        // The first round must pick up whatever was set before the start.
        ++m_changes;
    }
    m_thread = std::thread([this] { run(); });
}

void StreamPlayer::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        m_stopFlag = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_asked.reset();
}

bool StreamPlayer::running() const
{
    return m_thread.joinable();
}

bool StreamPlayer::stopping() const
{
    return m_stopFlag.load(std::memory_order_relaxed);
}

QString StreamPlayer::resolve(const QString& workDir, const QString& url)
{
    if (url.isEmpty() || workDir.isEmpty() || QDir::isAbsolutePath(url))
        return {};
    const QStringList parts = url.split('/');
    if (parts.contains(QStringLiteral("..")))
        return {};
    const QString path = workDir + '/' + url;
    // A name inside the directory may still be a symbolic link out of it.
    const QString root = QFileInfo(workDir).canonicalFilePath();
    const QString target = QFileInfo(path).canonicalFilePath();
    if (root.isEmpty() || target.isEmpty())
        return path;
    if (!target.startsWith(root + '/'))
        return {};
    return path;
}

bool StreamPlayer::waitUntil(SteadyClock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_until(lock, deadline, [&] { return m_stop || m_changes != m_seenChanges; });
}

std::optional<StreamPlayer::Slot> StreamPlayer::nextSlot(const QDateTime& at)
{
    QString placeholder;
    {
        const std::lock_guard lock(m_mutex);
        placeholder = m_placeholder;
    }
    if (!m_asked)
        return std::nullopt;
    const Generator::Item item = m_asked->next(at);
    Slot slot;
    slot.start = item.start;
    slot.end = item.end;
    if (item.file) {
        slot.url = QString::fromUtf8(item.file->url);
        slot.file = QString::fromUtf8(item.file->section);
        slot.playlist = item.playlist ? QString::fromUtf8(item.playlist->section) : QString();
    } else {
        slot.url = placeholder;
        slot.placeholder = true;
    }
    return slot;
}

bool StreamPlayer::stillPlaying(Slot& slot)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stop)
            return false;
        m_asked = m_generator;
        m_seenChanges = m_changes;
    }
    const std::optional<Slot> fresh = nextSlot(QDateTime::currentDateTime());
    return fresh && fresh->sameAs(slot);
}

void StreamPlayer::run()
{
    // Named so that operators (top -H, /proc/<pid>/task) can tell the engine's CPU time apart.
    pthread_setname_np(pthread_self(), "vesk-stream");
    m_logger->debug("stream engine started");
    std::optional<QDateTime> resumeAt;
    int emptySlots = 0;
    while (!stopping()) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_changes != m_seenChanges) {
                m_asked = m_generator;
                m_seenChanges = m_changes;
                resumeAt.reset();
            }
        }
        const QDateTime now = QDateTime::currentDateTime();
        QDateTime at = now;
        if (resumeAt && std::abs(resumeAt->msecsTo(now)) <= resumeToleranceMs)
            at = *resumeAt;
        resumeAt.reset();

        std::optional<Slot> slot = nextSlot(at);
        if (!slot) {
            waitUntil(SteadyClock::now() + longestBlindWait);
            continue;
        }
        if (slot->end <= slot->start || slot->end <= now) {
            // Files of no length, or a slot that passed while we were busy: on to the next. A
            // schedule made only of such slots must not spin.
            resumeAt = slot->end;
            if (++emptySlots > 1000) {
                emptySlots = 0;
                waitUntil(SteadyClock::now() + 1s);
            }
            continue;
        }
        emptySlots = 0;

        Outcome outcome = Outcome::failed;
        if (!slot->url.isEmpty())
            outcome = play(*slot);
        if (outcome == Outcome::failed && !slot->placeholder) {
            Slot fallback = *slot;
            {
                const std::lock_guard lock(m_mutex);
                fallback.url = m_placeholder;
            }
            fallback.placeholder = true;
            if (!fallback.url.isEmpty()) {
                m_logger->info("stream: showing the placeholder %1 until %2", fallback.url,
                    slot->end.toString(Qt::ISODate));
                outcome = play(fallback);
            }
        }
        if (outcome == Outcome::failed) {
            // Nothing to show: keep quiet until the slot ends or the settings change.
            const auto deadline = SteadyClock::now()
                + std::min<std::chrono::milliseconds>(
                    std::chrono::milliseconds(QDateTime::currentDateTime().msecsTo(slot->end)),
                    longestBlindWait);
            outcome = Outcome::finished;
            while (SteadyClock::now() < deadline) {
                if (!waitUntil(deadline)) {
                    outcome
                        = stopping() || !stillPlaying(*slot) ? Outcome::changed : Outcome::finished;
                    if (outcome == Outcome::changed)
                        break;
                }
            }
            if (outcome == Outcome::finished && QDateTime::currentDateTime() < slot->end)
                continue; // a blind wait ended early; ask about the present
        }
        if (outcome == Outcome::finished)
            resumeAt = slot->end;
    }
    m_logger->debug("stream engine stopped");
}

StreamPlayer::Outcome StreamPlayer::play(Slot& slot)
{
    QString workDir;
    {
        const std::lock_guard lock(m_mutex);
        workDir = m_workDir;
    }
    const QString path = resolve(workDir, slot.url);
    if (path.isEmpty()) {
        m_logger->error(
            "stream: refusing the file name '%1': it must lie inside %2", slot.url, workDir);
        return Outcome::failed;
    }
    if (!QFileInfo(path).isFile()) {
        m_logger->warn("stream: cannot play %1: no such file", path);
        return Outcome::failed;
    }

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        m_logger->error("stream: cannot play %1: out of memory", path);
        return Outcome::failed;
    }
    raw->interrupt_callback.callback
        = [](void* self) -> int { return static_cast<StreamPlayer*>(self)->stopping() ? 1 : 0; };
    raw->interrupt_callback.opaque = this;
    int ret = avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr);
    if (ret < 0) {
        m_logger->warn("stream: cannot open %1: %2", path, errorText(ret));
        return Outcome::failed;
    }
    const Input input(raw);
    if ((ret = avformat_find_stream_info(input.get(), nullptr)) < 0) {
        m_logger->warn("stream: cannot read %1: %2", path, errorText(ret));
        return Outcome::failed;
    }
    int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0)
        index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        m_logger->warn("stream: %1 has no video or audio", path);
        return Outcome::failed;
    }
    for (unsigned int i = 0; i < input->nb_streams; ++i)
        if (int(i) != index)
            input->streams[i]->discard = AVDISCARD_ALL;
    const AVStream* stream = input->streams[index];
    const AVRational timeBase = stream->time_base;
    // Without a usable frame rate a packet of unknown duration counts as one tick.
    const std::int64_t frameTicks = stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0
        ? std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(stream->avg_frame_rate), timeBase))
        : 1;

    // The schedule's position and the steady clock are tied together once, here; from now on
    // only the steady clock paces, so a change of the wall clock cannot stall or rush the stream.
    const QDateTime wallStart = QDateTime::currentDateTime();
    const SteadyClock::time_point steadyStart = SteadyClock::now();
    const qint64 offsetMs = std::max<qint64>(0, slot.start.msecsTo(wallStart));
    const SteadyClock::time_point steadyEnd
        = steadyStart + std::chrono::milliseconds(wallStart.msecsTo(slot.end));
    const std::int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    const std::int64_t offsetTicks = av_rescale_q(offsetMs, AVRational { 1, 1000 }, timeBase);
    const std::int64_t reference = origin + offsetTicks;
    // Each pass after the first is moved behind the previous one, so that time stamps keep
    // growing across the loops of a file shorter than its slot. Joining a slot after the file's
    // end starts in the pass that plays now, rather than sending the passes before it at once.
    const std::int64_t fileTicks = stream->duration > 0 ? stream->duration
        : input->duration > 0 ? av_rescale_q(input->duration, AV_TIME_BASE_Q, timeBase)
                              : 0;
    std::int64_t shift = fileTicks > 0 ? offsetTicks / fileTicks * fileTicks : 0;
    if (offsetMs > 0) {
        // The key frame at or before the position, so that a display can start decoding; the
        // packets between it and the position go out at once.
        ret = av_seek_frame(input.get(), index, reference - shift, AVSEEK_FLAG_BACKWARD);
        if (ret < 0)
            m_logger->debug(
                "stream: cannot seek in %1 (%2), reading from the start", path, errorText(ret));
    }
    const auto dueOf = [&](std::int64_t ts) {
        return steadyStart
            + std::chrono::microseconds(
                av_rescale_q(ts - reference, timeBase, AVRational { 1, 1000000 }));
    };

    m_logger->debug("stream: playing %1 (%2/%3) from %4 ms, slot %5 - %6", slot.url, slot.playlist,
        slot.file, offsetMs, slot.start.toString(Qt::ISODate), slot.end.toString(Qt::ISODate));

    Encoder encoder;
    encoder.setHeader(metadataOf(slot, timeBase), stream->codecpar);
    qint64 queuedBytes = 0;
    const auto flush = [&] {
        if (encoder.packets() > 0)
            m_sink(encoder.takeResult());
        queuedBytes = 0;
    };
    // Waits for the deadline; false when the slot must end here (stop, or a new schedule that
    // does not go on with it).
    const auto waitFor = [&](SteadyClock::time_point deadline, Outcome& why) {
        while (SteadyClock::now() < deadline) {
            if (waitUntil(deadline))
                break;
            if (stopping()) {
                why = Outcome::stopped;
                return false;
            }
            if (!stillPlaying(slot)) {
                why = Outcome::changed;
                return false;
            }
        }
        return true;
    };

    const Packet packet(av_packet_alloc());
    if (!packet)
        return Outcome::failed;
    bool firstPacket = true;
    std::optional<std::int64_t> nextPassStart;
    std::int64_t lastEnd = AV_NOPTS_VALUE;
    std::int64_t passPackets = 0;
    Outcome why = Outcome::finished;
    while (true) {
        if (stopping()) {
            flush();
            return Outcome::stopped;
        }
        ret = av_read_frame(input.get(), packet.get());
        if (ret < 0) {
            if (ret != AVERROR_EOF)
                m_logger->warn("stream: read error in %1: %2", path, errorText(ret));
            if (passPackets == 0 || lastEnd == AV_NOPTS_VALUE) {
                flush();
                m_logger->warn("stream: %1 gave no packets", path);
                if (firstPacket)
                    return Outcome::failed;
                waitFor(steadyEnd, why);
                return why;
            }
            nextPassStart = lastEnd;
            passPackets = 0;
            if ((ret = av_seek_frame(input.get(), index, origin, AVSEEK_FLAG_BACKWARD)) < 0
                && (ret = avformat_seek_file(input.get(), index, INT64_MIN, origin, origin, 0))
                    < 0) {
                flush();
                m_logger->warn(
                    "stream: cannot go back to the start of %1: %2", path, errorText(ret));
                waitFor(steadyEnd, why);
                return why;
            }
            continue;
        }
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        std::int64_t ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        if (ts == AV_NOPTS_VALUE)
            ts = lastEnd == AV_NOPTS_VALUE ? reference : lastEnd - shift;
        if (nextPassStart) {
            shift = *nextPassStart - ts;
            nextPassStart.reset();
        }
        const SteadyClock::time_point due = dueOf(ts + shift);
        if (due >= steadyEnd) {
            av_packet_unref(packet.get());
            break;
        }
        if (due > SteadyClock::now()) {
            flush();
            if (!waitFor(due, why)) {
                av_packet_unref(packet.get());
                return why;
            }
        }
        if (shift != 0) {
            if (packet->dts != AV_NOPTS_VALUE)
                packet->dts += shift;
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts += shift;
        }
        lastEnd = ts + shift + (packet->duration > 0 ? packet->duration : frameTicks);
        encoder.addPacket(packet.get(), firstPacket);
        firstPacket = false;
        queuedBytes += packet->size;
        ++passPackets;
        av_packet_unref(packet.get());
        if (encoder.packets() >= maxPacketsPerMessage || queuedBytes >= maxBytesPerMessage)
            flush();
    }
    flush();
    waitFor(steadyEnd, why);
    return why;
}

} // namespace vesk::detail
