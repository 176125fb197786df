#include "streamplayer.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>

#include <algorithm>

#include <pthread.h>
#include <sys/stat.h>

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

void StreamPlayer::setProgramme(file::Descriptor directory, const QString& directoryName,
    QSharedPointer<Generator> generator, const QString& placeholder)
{
    Scheduled fresh;
    fresh.programme.directory = directoryName;
    fresh.programme.placeholder = placeholder;
    // Read before the engine's thread has the generator: its next() changes the states.
    if (generator)
        for (const Generator::PlaylistState& state : generator->states())
            fresh.programme.playlists << QString::fromUtf8(state.playlist.section);
    fresh.generator = std::move(generator);
    struct stat status
    {
    };
    if (directory.isOpen() && ::fstat(directory.get(), &status) == 0) {
        fresh.directory.device = status.st_dev;
        fresh.directory.inode = status.st_ino;
    }
    fresh.directory.name = directoryName;
    fresh.directory.descriptor = std::make_shared<const file::Descriptor>(std::move(directory));

    Scheduled previous;
    std::unique_lock lock(m_mutex);
    fresh.programme.serial = m_programme.programme.serial + 1;
    previous = std::exchange(m_programme, std::move(fresh));
    m_changed.notify_all();
    // A message of the old programme that is being sent right now goes out before this returns;
    // none after it.
    m_changed.wait(lock, [this] { return !m_sending; });
    lock.unlock();
}

Stream::Programme StreamPlayer::programme() const
{
    const std::lock_guard lock(m_mutex);
    return m_programme.programme;
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
        m_shown = slot->shown;
    else
        m_shown.reset();
}

void StreamPlayer::setObserver(std::shared_ptr<StreamPlayObserver> observer)
{
    m_observer = std::move(observer);
}

void StreamPlayer::announce(const Slot& slot)
{
    if (m_play || !m_observer)
        return;
    StreamPlay play;
    play.slot = m_standingIn.value_or(slot.shown);
    play.slot.placeholder = slot.shown.placeholder;
    play.directory = slot.directory.name;
    play.start = m_clock.wallNow();
    m_play = std::move(play);
    m_observer->started(*m_play);
}

void StreamPlayer::finish(StreamPlay::Outcome outcome)
{
    if (!m_play)
        return;
    m_play->end = m_clock.wallNow();
    m_play->outcome = outcome;
    m_observer->ended(*m_play);
    m_play.reset();
}

void StreamPlayer::failed(const Slot& slot)
{
    const bool again = m_lastFailed && m_lastFailed->sameAs(slot);
    m_lastFailed = slot;
    if (m_play) {
        finish(StreamPlay::Outcome::failed);
        return;
    }
    if (again || !m_observer)
        return;
    StreamPlay play;
    play.slot = slot.shown;
    play.directory = slot.directory.name;
    play.start = m_clock.wallNow();
    play.end = play.start;
    m_observer->started(play);
    play.outcome = StreamPlay::Outcome::failed;
    m_observer->ended(play);
}

void StreamPlayer::start()
{
    if (m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = false;
    }
    m_thread = std::thread([this] { run(); });
}

void StreamPlayer::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
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
    const std::lock_guard lock(m_mutex);
    return m_stop;
}

file::Descriptor StreamPlayer::openMedia(int directory, const QString& url, std::error_code& error)
{
    if (directory < 0) {
        error = std::make_error_code(std::errc::bad_file_descriptor);
        return {};
    }
    const QByteArray name = url.toUtf8();
    return file::openInside(directory, std::string_view(name.constData(), std::size_t(name.size())),
        file::EntryType::RegularFile, error);
}

bool StreamPlayer::adopt()
{
    Scheduled fresh;
    {
        const std::lock_guard lock(m_mutex);
        if (m_programme.programme.serial == m_playing.programme.serial)
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
    return !m_clock.waitUntil(lock, m_changed, deadline,
        [&] { return m_stop || m_programme.programme.serial != m_playing.programme.serial; });
}

std::optional<StreamPlayer::Slot> StreamPlayer::slotAt(const QDateTime& at)
{
    if (!m_playing.generator)
        return std::nullopt;
    const Generator::Item item = m_playing.generator->next(at);
    Slot slot;
    slot.directory = m_playing.directory;
    slot.shown.start = item.start;
    slot.shown.end = item.end;
    if (item.file) {
        slot.shown.url = file::plainName(item.file->url);
        slot.shown.file = QString::fromUtf8(item.file->section);
        slot.shown.playlist = item.playlist ? QString::fromUtf8(item.playlist->section) : QString();
    } else {
        slot.shown.url = file::plainName(m_playing.programme.placeholder.toUtf8());
        slot.shown.placeholder = true;
    }
    return slot;
}

bool StreamPlayer::stillPlaying(const Slot& slot)
{
    if (stopping())
        return false;
    adopt();
    const std::optional<Slot> fresh = slotAt(m_clock.wallNow());
    if (!fresh)
        return false;
    // A stand-in is compared as what it is, the placeholder in the place of the schedule's file:
    // the schedule names the file that failed, never the placeholder.
    return slot.standIn ? standInFor(*fresh).sameAs(slot) : fresh->sameAs(slot);
}

StreamPlayer::Slot StreamPlayer::standInFor(const Slot& slot) const
{
    Slot standIn = slot;
    standIn.shown.url = file::plainName(m_playing.programme.placeholder.toUtf8());
    standIn.shown.placeholder = true;
    standIn.standIn = true;
    return standIn;
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
        if (slot->shown.end <= slot->shown.start || slot->shown.end <= now) {
            // Files of no length, or a slot that passed while we were busy: on to the next.
            resumeAt = slot->shown.end;
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
                        std::chrono::milliseconds(m_clock.wallNow().msecsTo(slot->shown.end)),
                        longestBlindWait),
                *slot);
            if (m_clock.wallNow() < slot->shown.end)
                continue;
        }
        if (outcome == Outcome::finished)
            resumeAt = slot->shown.end;
    }
    m_logger->debug("stream engine stopped");
}

StreamPlayer::Outcome StreamPlayer::playOrStandIn(const Slot& slot)
{
    // An idle span without a placeholder: nothing to show, nothing to say.
    if (slot.shown.url.isEmpty())
        return Outcome::failed;
    QString failure;
    const Outcome outcome = play(slot, failure);
    if (outcome != Outcome::failed) {
        finish(
            outcome == Outcome::finished ? StreamPlay::Outcome::played : StreamPlay::Outcome::cut);
        return outcome;
    }
    const Slot standIn = standInFor(slot);
    const QString& placeholder = standIn.shown.url;
    const QString where = slot.directory.name + '/' + slot.shown.url;
    if (slot.shown.placeholder || placeholder.isEmpty()) {
        m_logger->warn("stream: cannot play %1: %2", where, failure);
        failed(slot);
        return outcome;
    }
    m_logger->warn("stream: cannot play %1: %2; showing the placeholder %3 until %4", where,
        failure, placeholder, slot.shown.end.toString(Qt::ISODate));
    show(&standIn);
    m_standingIn = slot.shown;
    const Outcome standing = play(standIn, failure);
    m_standingIn.reset();
    failed(slot);
    if (standing == Outcome::failed)
        m_logger->log(log::Level::warn,
            QString("stream: cannot play the placeholder %1/%2: %3")
                .arg(slot.directory.name, placeholder, failure));
    return standing;
}

} // namespace vesk::detail
