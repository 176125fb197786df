// Internal to libvesk_stream, not API.
#pragma once

#include "messagesink.h"
#include "streamclock.h"

#include <vesk/file/descriptor.h>
#include <vesk/playlist/generator.h>
#include <vesk/stream.h>

#include <QByteArray>
#include <QDateTime>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace vesk {

namespace log {
class Logger;
}

namespace detail {

class StreamBatcher;
class StreamDemuxer;
class StreamPacer;

// The engine's own thread: asks the schedule which file plays now, reads that file's packets
// (StreamDemuxer), paces them by their time stamps (StreamPacer) and hands them, packed into
// messages (StreamBatcher), to the sink. Nothing it meets in a file or a schedule stops it; it logs
// and asks again.
//
// The programme (directory, schedule, placeholder) is one value, replaced as a whole, so a file
// name is never looked up in a directory of another schedule. Once setProgramme has returned, the
// sink gets nothing more of the previous programme. setProgramme and the queries may be called
// from any thread; the sink is called on the engine's thread only.
class StreamPlayer
{
public:
    StreamPlayer(log::Logger* logger, std::unique_ptr<MessageSink> sink,
        StreamClock& clock = StreamClock::system());
    // Stops and joins the thread.
    ~StreamPlayer();
    StreamPlayer(const StreamPlayer&) = delete;
    StreamPlayer& operator=(const StreamPlayer&) = delete;

    // Takes effect at once. When the new programme's answer for now is the slot already playing
    // (same file in the same directory, same start and end), playback goes on without a break.
    void setProgramme(
        const QString& directory, QSharedPointer<Generator> generator, const QString& placeholder);
    Stream::Programme programme() const;
    std::optional<Stream::Playing> playing() const;

    // Starts the thread; a second call while it runs does nothing.
    void start();
    // Stops and joins the thread; it may be started again.
    void stop();
    bool running() const;

    // The media file a url of the schedule names below `directory`, opened without following a
    // symbolic link anywhere below the directory. A closed descriptor and `error` when the url
    // is refused (file::FileError::OutsideDirectory for an absolute name or one with "..", ELOOP
    // for a link on the way) or names no regular file.
    static file::Descriptor openMedia(
        const QString& directory, const QString& url, std::error_code& error);

    struct Slot
    {
        QString directory;
        QString url;
        QString playlist;
        QString file;
        QDateTime start;
        QDateTime end;
        bool placeholder = false;

        bool sameAs(const Slot& other) const
        {
            return directory == other.directory && url == other.url && start == other.start
                && end == other.end && placeholder == other.placeholder;
        }
    };

private:
    enum class Outcome { finished, changed, failed, stopped };
    using Steady = StreamClock::Steady;

    struct Programme
    {
        QString directory;
        QSharedPointer<Generator> generator;
        QString placeholder;
        std::uint64_t serial = 0;
    };

    void run();
    // Takes over the programme set last; false when there was nothing new.
    bool adopt();
    std::optional<Slot> slotAt(const QDateTime& at);
    // Plays the slot, or the placeholder in its place.
    Outcome playOrStandIn(const Slot& slot);
    Outcome play(const Slot& slot);
    Outcome pump(StreamDemuxer& demuxer, StreamPacer& pacer, StreamBatcher& batcher,
        const Slot& slot, Steady::time_point end);
    // Hands the batch to the sink, unless the programme changed in a way that ends the slot.
    Outcome flush(StreamBatcher& batcher, const Slot& slot);
    // Waits until `deadline`; earlier only when the slot ends (stop, or a programme that does not
    // go on with it).
    Outcome waitFor(Steady::time_point deadline, const Slot& slot);
    // Waits until `deadline` or a new programme (or stop). False when woken before the deadline.
    bool waitUntil(Steady::time_point deadline);
    // After a new programme during `slot`: true when the slot goes on.
    bool stillPlaying(const Slot& slot);
    bool stopping() const;
    // Tells the queries what is sent now.
    void show(const Slot* slot);

    log::Logger* m_logger;
    std::unique_ptr<MessageSink> m_sink;
    StreamClock& m_clock;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    bool m_stop = false;
    Programme m_programme;
    QStringList m_playlists;
    std::optional<Stream::Playing> m_shown;
    // m_stop and m_programme.serial for readers that must not take the lock.
    std::atomic<bool> m_stopFlag { false };
    std::atomic<std::uint64_t> m_serial { 0 };
    // Held while the sink runs, so that setProgramme can wait for a message of the old programme.
    std::mutex m_sending;

    // The engine thread's own copy of the programme it plays.
    Programme m_playing;
    std::thread m_thread;
};

} // namespace detail
} // namespace vesk
