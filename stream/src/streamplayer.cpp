#include "streamplayer.h"

#include "streambatcher.h"
#include "streamdemuxer.h"
#include "streampacer.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/pointer.h>

#include <QJsonObject>

#include <algorithm>
#include <filesystem>

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
// A schedule made only of slots without length must not spin.
constexpr int emptySlotsBeforeRest = 1000;

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

StreamPlayer::StreamPlayer(
    log::Logger* logger, std::unique_ptr<MessageSink> sink, StreamClock& clock)
    : m_logger(logger)
    , m_sink(std::move(sink))
    , m_clock(clock)
{
}

StreamPlayer::~StreamPlayer()
{
    stop();
}

void StreamPlayer::setProgramme(
    const QString& directory, QSharedPointer<Generator> generator, const QString& placeholder)
{
    // Read before the engine's thread has the generator: its next() changes the states.
    QStringList playlists;
    if (generator)
        for (const Generator::PlaylistState& state : generator->states())
            playlists << QString::fromUtf8(state.playlist.section);
    Programme previous;
    {
        const std::lock_guard lock(m_mutex);
        const std::uint64_t serial = m_programme.serial + 1;
        previous
            = std::exchange(m_programme, { directory, std::move(generator), placeholder, serial });
        m_playlists = playlists;
        m_serial = serial;
        m_wake.notify_all();
    }
    // A message of the old programme that is being sent right now goes out before this returns;
    // none after it.
    const std::lock_guard sending(m_sending);
}

Stream::Programme StreamPlayer::programme() const
{
    const std::lock_guard lock(m_mutex);
    return { m_programme.directory, m_programme.placeholder, m_playlists, m_programme.serial };
}

std::optional<Stream::Playing> StreamPlayer::playing() const
{
    const std::lock_guard lock(m_mutex);
    return m_shown;
}

void StreamPlayer::show(const Slot* slot)
{
    const std::lock_guard lock(m_mutex);
    if (slot)
        m_shown = Stream::Playing { slot->playlist, slot->file, slot->url, slot->start, slot->end,
            slot->placeholder };
    else
        m_shown.reset();
}

void StreamPlayer::start()
{
    if (m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = false;
        m_stopFlag = false;
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
    // A restarted thread takes the programme up again from the start.
    m_playing = {};
    show(nullptr);
}

bool StreamPlayer::running() const
{
    return m_thread.joinable();
}

bool StreamPlayer::stopping() const
{
    return m_stopFlag.load(std::memory_order_relaxed);
}

file::Descriptor StreamPlayer::openMedia(
    const QString& directory, const QString& url, std::error_code& error)
{
    const QByteArray root = directory.toUtf8();
    const QByteArray name = url.toUtf8();
    try {
        const file::Descriptor opened = file::openDirectory(
            std::filesystem::path(root.constData(), root.constData() + root.size()));
        return file::openInside(opened.get(),
            std::string_view(name.constData(), std::size_t(name.size())),
            file::EntryType::RegularFile, error);
    } catch (const std::filesystem::filesystem_error& failure) {
        error = failure.code();
        return {};
    }
}

bool StreamPlayer::adopt()
{
    Programme fresh;
    {
        const std::lock_guard lock(m_mutex);
        if (m_programme.serial == m_playing.serial)
            return false;
        fresh = m_programme;
    }
    // The old schedule may be large; it goes here, outside the lock.
    m_playing = std::move(fresh);
    return true;
}

bool StreamPlayer::waitUntil(Steady::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    return !m_clock.waitUntil(
        lock, m_wake, deadline, [&] { return m_stop || m_programme.serial != m_playing.serial; });
}

std::optional<StreamPlayer::Slot> StreamPlayer::slotAt(const QDateTime& at)
{
    if (!m_playing.generator)
        return std::nullopt;
    const Generator::Item item = m_playing.generator->next(at);
    Slot slot;
    slot.directory = m_playing.directory;
    slot.start = item.start;
    slot.end = item.end;
    if (item.file) {
        slot.url = QString::fromUtf8(item.file->url);
        slot.file = QString::fromUtf8(item.file->section);
        slot.playlist = item.playlist ? QString::fromUtf8(item.playlist->section) : QString();
    } else {
        slot.url = m_playing.placeholder;
        slot.placeholder = true;
    }
    return slot;
}

bool StreamPlayer::stillPlaying(const Slot& slot)
{
    if (stopping())
        return false;
    adopt();
    const std::optional<Slot> fresh = slotAt(m_clock.wallNow());
    return fresh && fresh->sameAs(slot);
}

StreamPlayer::Outcome StreamPlayer::waitFor(Steady::time_point deadline, const Slot& slot)
{
    while (m_clock.now() < deadline) {
        if (waitUntil(deadline))
            break;
        if (stopping())
            return Outcome::stopped;
        if (!stillPlaying(slot))
            return Outcome::changed;
    }
    return Outcome::finished;
}

void StreamPlayer::run()
{
    // Named so that operators (top -H, /proc/<pid>/task) can tell the engine's CPU time apart.
    pthread_setname_np(pthread_self(), "vesk-stream");
    m_logger->debug("stream engine started");
    std::optional<QDateTime> resumeAt;
    int emptySlots = 0;
    while (!stopping()) {
        if (adopt())
            resumeAt.reset();
        const QDateTime now = m_clock.wallNow();
        const bool resume = resumeAt && std::abs(resumeAt->msecsTo(now)) <= resumeToleranceMs;
        const std::optional<Slot> slot = slotAt(resume ? *resumeAt : now);
        resumeAt.reset();
        if (!slot) {
            show(nullptr);
            waitUntil(m_clock.now() + longestBlindWait);
            continue;
        }
        if (slot->end <= slot->start || slot->end <= now) {
            // Files of no length, or a slot that passed while we were busy: on to the next.
            resumeAt = slot->end;
            if (++emptySlots > emptySlotsBeforeRest) {
                emptySlots = 0;
                waitUntil(m_clock.now() + 1s);
            }
            continue;
        }
        emptySlots = 0;
        show(&*slot);
        Outcome outcome = playOrStandIn(*slot);
        if (outcome == Outcome::failed) {
            // Nothing to show: keep quiet until the slot ends or the programme changes. A blind
            // wait that ends before the slot asks about the present.
            outcome = waitFor(m_clock.now()
                    + std::min<std::chrono::milliseconds>(
                        std::chrono::milliseconds(m_clock.wallNow().msecsTo(slot->end)),
                        longestBlindWait),
                *slot);
            if (m_clock.wallNow() < slot->end)
                continue;
        }
        if (outcome == Outcome::finished)
            resumeAt = slot->end;
    }
    m_logger->debug("stream engine stopped");
}

StreamPlayer::Outcome StreamPlayer::playOrStandIn(const Slot& slot)
{
    const Outcome outcome = slot.url.isEmpty() ? Outcome::failed : play(slot);
    if (outcome != Outcome::failed || slot.placeholder || m_playing.placeholder.isEmpty())
        return outcome;
    Slot standIn = slot;
    standIn.url = m_playing.placeholder;
    standIn.placeholder = true;
    show(&standIn);
    m_logger->info(
        "stream: showing the placeholder %1 until %2", standIn.url, slot.end.toString(Qt::ISODate));
    return play(standIn);
}

StreamPlayer::Outcome StreamPlayer::play(const Slot& slot)
{
    const QString path = slot.directory + '/' + slot.url;
    std::error_code failure;
    const file::Descriptor media = openMedia(slot.directory, slot.url, failure);
    if (failure == file::FileError::OutsideDirectory) {
        m_logger->error(
            "stream: refusing the file name '%1': it must lie inside %2", slot.url, slot.directory);
        return Outcome::failed;
    }
    if (!media.isOpen()) {
        m_logger->warn(
            "stream: cannot play %1: %2", path, QString::fromStdString(failure.message()));
        return Outcome::failed;
    }
    // Through the descriptor: the file that was opened, whatever its name leads to by now.
    StreamDemuxer demuxer([this] { return stopping(); });
    if (const QString error = demuxer.open(QString("/proc/self/fd/%1").arg(media.get()));
        !error.isEmpty()) {
        m_logger->warn("stream: cannot play %1: %2", path, error);
        return Outcome::failed;
    }

    // The schedule's position and the steady clock are tied together once, here; from now on
    // only the steady clock paces, so a change of the wall clock cannot stall or rush the stream.
    const QDateTime wallStart = m_clock.wallNow();
    const Steady::time_point anchor = m_clock.now();
    const Steady::time_point end = anchor + std::chrono::milliseconds(wallStart.msecsTo(slot.end));
    const std::chrono::milliseconds position(std::max<qint64>(0, slot.start.msecsTo(wallStart)));
    const StreamPacer::Timing timing = demuxer.timing();
    StreamPacer pacer(timing, position, anchor);
    // The key frame at or before the position, so that a display can start decoding; the
    // packets between it and the position go out at once.
    if (const std::optional<std::int64_t> target = pacer.seekTarget())
        if (const int ret = demuxer.seek(*target); ret < 0)
            m_logger->debug("stream: cannot seek in %1 (%2), reading from the start", path,
                StreamDemuxer::errorText(ret));
    m_logger->debug("stream: playing %1 (%2/%3) from %4 ms, slot %5 - %6", slot.url, slot.playlist,
        slot.file, qint64(position.count()), slot.start.toString(Qt::ISODate),
        slot.end.toString(Qt::ISODate));

    StreamBatcher batcher(metadataOf(slot, timing.timeBase), demuxer.parameters());
    Outcome outcome = pump(demuxer, pacer, batcher, slot, end);
    if (outcome == Outcome::finished)
        outcome = flush(batcher, slot);
    if (outcome == Outcome::finished)
        outcome = waitFor(end, slot);
    return outcome;
}

StreamPlayer::Outcome StreamPlayer::pump(StreamDemuxer& demuxer, StreamPacer& pacer,
    StreamBatcher& batcher, const Slot& slot, Steady::time_point end)
{
    const PacketPointer packet(av_packet_alloc());
    if (!packet)
        return Outcome::failed;
    bool first = true;
    while (!stopping()) {
        if (const int ret = demuxer.read(packet.get()); ret < 0) {
            if (ret != AVERROR_EOF)
                m_logger->warn(
                    "stream: read error in %1: %2", slot.url, StreamDemuxer::errorText(ret));
            if (!pacer.nextPass()) {
                m_logger->warn("stream: %1 gave no packets", slot.url);
                return first ? Outcome::failed : Outcome::finished;
            }
            if (const int again = demuxer.rewind(); again < 0) {
                m_logger->warn("stream: cannot go back to the start of %1: %2", slot.url,
                    StreamDemuxer::errorText(again));
                return Outcome::finished;
            }
            continue;
        }
        const Steady::time_point due = pacer.place(packet.get());
        Outcome outcome = Outcome::finished;
        if (due < end && due > m_clock.now()) {
            outcome = flush(batcher, slot);
            if (outcome == Outcome::finished)
                outcome = waitFor(due, slot);
        }
        const bool send = due < end && outcome == Outcome::finished;
        if (send) {
            batcher.add(packet.get(), first);
            first = false;
        }
        av_packet_unref(packet.get());
        if (!send)
            return outcome;
        if (batcher.full() && (outcome = flush(batcher, slot)) != Outcome::finished)
            return outcome;
    }
    return Outcome::stopped;
}

StreamPlayer::Outcome StreamPlayer::flush(StreamBatcher& batcher, const Slot& slot)
{
    while (!batcher.empty()) {
        {
            const std::lock_guard sending(m_sending);
            if (m_serial.load() == m_playing.serial) {
                m_sink->send(batcher.take());
                return Outcome::finished;
            }
        }
        if (!stillPlaying(slot))
            return stopping() ? Outcome::stopped : Outcome::changed;
    }
    return Outcome::finished;
}

} // namespace vesk::detail
