// The sending of one slot's file: StreamPlayer's play, pump and flush.

#include "streamplayer.h"

#include "streambatcher.h"
#include "streamdemuxer.h"
#include "streaminterleaver.h"
#include "streampacer.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/streammetadata.h>

#include <algorithm>
#include <vector>

namespace vesk::detail {

namespace {

using namespace std::chrono_literals;

// Sound goes out in batches of this much (at most StreamBatcher::maxPackets packets), each when
// its first packet is due: a few messages a second instead of one for every 20 ms of sound.
constexpr std::chrono::microseconds soundBatchWindow = 200ms;

// The message format carries no time base, so the time stamps would mean nothing to a display
// without it; "track" and "tracks" let a display sort the messages and know what the slot brings.
QJsonDocument metadataOf(const Stream::Playing& shown, const StreamDemuxer::Track& track,
    const std::vector<StreamTrack>& tracks)
{
    StreamMetadata metadata;
    metadata.playlist = shown.playlist;
    metadata.file = shown.file;
    metadata.slot = { shown.url, shown.start, shown.end };
    metadata.placeholder = shown.placeholder;
    metadata.track = track.kind;
    metadata.tracks = tracks;
    metadata.timeBase = { track.timeBase.num, track.timeBase.den };
    return metadata.toJson();
}

// Clears the sending mark however the sink returns.
class SendingMark
{
public:
    SendingMark(std::mutex& mutex, std::condition_variable& changed, bool& sending)
        : m_mutex(mutex)
        , m_changed(changed)
        , m_sending(sending)
    {
    }
    ~SendingMark()
    {
        const std::lock_guard lock(m_mutex);
        m_sending = false;
        m_changed.notify_all();
    }
    SendingMark(const SendingMark&) = delete;
    SendingMark& operator=(const SendingMark&) = delete;

private:
    std::mutex& m_mutex;
    std::condition_variable& m_changed;
    bool& m_sending;
};

} // namespace

// One slot's file while it is sent.
struct StreamPlayback
{
    StreamPlayback(const StreamPlayer::Slot& slot, StreamDemuxer& demuxer, StreamPacer& pacer,
        StreamClock::Steady::time_point end)
        : slot(slot)
        , demuxer(demuxer)
        , pacer(pacer)
        , interleaver(windows(demuxer), StreamBatcher::maxPackets, {})
        , end(end)
    {
        std::vector<StreamTrack> names;
        for (const StreamDemuxer::Track& track : demuxer.tracks())
            names.push_back(track.kind);
        for (const StreamDemuxer::Track& track : demuxer.tracks())
            batchers.emplace_back(metadataOf(slot.shown, track, names), track.parameters);
        first.assign(demuxer.tracks().size(), true);
    }

    static std::vector<std::chrono::microseconds> windows(const StreamDemuxer& demuxer)
    {
        std::vector<std::chrono::microseconds> windows;
        for (const StreamDemuxer::Track& track : demuxer.tracks())
            windows.push_back(track.kind == StreamTrack::audio ? soundBatchWindow : 0us);
        return windows;
    }

    // Reads until the interleaver knows the next packet; false when out of memory.
    bool fill(log::Logger* logger)
    {
        while (!interleaver.ready()) {
            PacketPointer packet(av_packet_alloc());
            if (!packet)
                return false;
            std::size_t track = 0;
            if (const int ret = demuxer.read(packet.get(), track); ret < 0) {
                if (ret != AVERROR_EOF)
                    logger->warn("stream: read error (%1) in %2", StreamDemuxer::errorText(ret),
                        slot.shown.url);
                interleaver.end();
                break;
            }
            ++read;
            if (const std::optional<StreamClock::Steady::time_point> due
                = pacer.place(packet.get(), demuxer.tracks()[track].timeBase))
                interleaver.push(track, std::move(packet), *due);
        }
        return true;
    }

    const StreamPlayer::Slot& slot;
    StreamDemuxer& demuxer;
    StreamPacer& pacer;
    StreamInterleaver interleaver;
    // One message stream per track, in the order of the demuxer's tracks.
    std::vector<StreamBatcher> batchers;
    // Per track: the next packet is the track's first, which carries the codec-change marker.
    std::vector<bool> first;
    StreamClock::Steady::time_point end;
    std::int64_t read = 0;
};

StreamPlayer::Outcome StreamPlayer::play(const Slot& slot, QString& failure)
{
    std::error_code error;
    file::Descriptor media = openMedia(slot.directory.descriptor->get(), slot.shown.url, error);
    if (error == file::FileError::OutsideDirectory) {
        failure = "the name leads outside the directory";
        return Outcome::failed;
    }
    if (!media.isOpen()) {
        failure = QString::fromStdString(error.message());
        return Outcome::failed;
    }
    // The placeholder and the idle spans stay silent.
    StreamDemuxer demuxer([this] { return stopping(); });
    if (QString refused = demuxer.open(std::move(media), !slot.shown.placeholder);
        !refused.isEmpty()) {
        failure = std::move(refused);
        return Outcome::failed;
    }

    // The schedule's position and the steady clock are tied together once, here; from now on
    // only the steady clock paces, so a change of the wall clock cannot stall or rush the stream.
    const QDateTime wallStart = m_clock.wallNow();
    const Steady::time_point anchor = m_clock.now();
    const Steady::time_point end
        = anchor + std::chrono::milliseconds(wallStart.msecsTo(slot.shown.end));
    const std::chrono::milliseconds position(
        std::max<qint64>(0, slot.shown.start.msecsTo(wallStart)));
    StreamPacer pacer({ demuxer.startUs(), demuxer.lengthUs() }, position,
        std::chrono::milliseconds(slot.shown.start.msecsTo(slot.shown.end)), anchor);
    if (pacer.resting()) {
        m_logger->debug("stream: no whole pass left before %1 of %2",
            slot.shown.end.toString(Qt::ISODate), slot.shown.url);
        return waitFor(end, slot);
    }
    // The key frame at or before the position, so that a display can start decoding; the
    // packets between it and the position go out at once.
    if (const std::optional<std::int64_t> target = pacer.seekTarget())
        if (const int ret = demuxer.seek(*target); ret < 0)
            m_logger->debug("stream: cannot seek (%1), reading from the start of %2",
                StreamDemuxer::errorText(ret), slot.shown.url);
    m_logger->debug("stream: playing %1 (%2/%3, %4 tracks) from %5 ms, slot %6 - %7",
        slot.shown.url, slot.shown.playlist, slot.shown.file, demuxer.tracks().size(),
        qint64(position.count()), slot.shown.start.toString(Qt::ISODate),
        slot.shown.end.toString(Qt::ISODate));

    StreamPlayback playback(slot, demuxer, pacer, end);
    Outcome outcome = pump(playback, failure);
    if (outcome == Outcome::finished)
        outcome = flush(playback);
    if (outcome == Outcome::finished)
        outcome = waitFor(end, slot);
    return outcome;
}

StreamPlayer::Outcome StreamPlayer::pump(StreamPlayback& playback, QString& failure)
{
    while (!stopping()) {
        if (!playback.fill(m_logger)) {
            failure = "out of memory";
            return Outcome::failed;
        }
        std::optional<StreamInterleaver::Entry> entry = playback.interleaver.pop();
        if (!entry) {
            // The pass ended.
            if (playback.read == 0) {
                failure = "the file gave no packets";
                return Outcome::failed;
            }
            if (!playback.pacer.nextPass())
                return Outcome::finished;
            if (const int ret = playback.demuxer.rewind(); ret < 0) {
                m_logger->warn("stream: cannot go back (%1) to the start of %2",
                    StreamDemuxer::errorText(ret), playback.slot.shown.url);
                return Outcome::finished;
            }
            playback.interleaver.restart();
            continue;
        }
        const bool whole = playback.pacer.whole();
        if (!whole && entry->sendAt >= playback.end)
            return Outcome::finished;
        if (!whole && entry->due >= playback.end)
            continue;
        const Steady::time_point sendAt = std::min(entry->sendAt, playback.end);
        if (sendAt > m_clock.now()) {
            Outcome outcome = flush(playback);
            if (outcome == Outcome::finished)
                outcome = waitFor(sendAt, playback.slot);
            if (outcome != Outcome::finished)
                return outcome;
        }
        StreamBatcher& batcher = playback.batchers[entry->track];
        batcher.add(entry->packet.get(), playback.first[entry->track]);
        playback.first[entry->track] = false;
        if (batcher.full()) {
            if (const Outcome outcome = flush(playback); outcome != Outcome::finished)
                return outcome;
        }
    }
    return Outcome::stopped;
}

StreamPlayer::Outcome StreamPlayer::flush(StreamPlayback& playback)
{
    for (StreamBatcher& batcher : playback.batchers) {
        while (!batcher.empty()) {
            std::unique_lock lock(m_mutex);
            if (m_stop)
                return Outcome::stopped;
            if (m_programme.programme.serial == m_playing.programme.serial) {
                m_sending = true;
                lock.unlock();
                {
                    const SendingMark mark(m_mutex, m_changed, m_sending);
                    m_sink->send(batcher.take());
                }
                announce(playback.slot);
                break;
            }
            lock.unlock();
            if (!stillPlaying(playback.slot))
                return stopping() ? Outcome::stopped : Outcome::changed;
        }
    }
    return Outcome::finished;
}

} // namespace vesk::detail
