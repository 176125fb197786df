// Internal to libvesk_stream, not API.
#pragma once

#include "messagesink.h"
#include "streamclock.h"

#include <vesk/file/descriptor.h>
#include <vesk/playlist/generator.h>
#include <vesk/stream.h>
#include <vesk/streamplay.h>

#include <QByteArray>
#include <QDateTime>
#include <QSharedPointer>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <sys/types.h>

namespace vesk {

namespace log {
class Logger;
}

namespace detail {

class StreamDemuxer;
struct StreamPlayback;

// The engine's own thread: asks the schedule which file plays now, reads that file's tracks
// (StreamDemuxer), puts their packets in the order they are due (StreamInterleaver), paces them
// (StreamPacer) and hands them, packed into one message stream per track (StreamBatcher), to the
// sink. Nothing it meets in a file or a schedule stops it; it logs and asks again.
//
// The programme (directory, schedule, placeholder) is one value, replaced as a whole, so a file
// name is never looked up in a directory of another schedule. Once setProgramme has returned, the
// sink gets nothing more of the previous programme. setProgramme and the queries may be called
// from any thread; the sink is called on the engine's thread only.
class StreamPlayer
{
public:
    // The directory the schedule's names are read from: its descriptor, shared by the programme
    // and the slots played from it, its name for queries and log lines, and its identity.
    struct Directory
    {
        std::shared_ptr<const file::Descriptor> descriptor;
        QString name;
        dev_t device = 0;
        ino_t inode = 0;

        bool sameAs(const Directory& other) const
        {
            return name == other.name && device == other.device && inode == other.inode;
        }
    };

    // One answer of the schedule, with the directory it is played from; or the placeholder
    // standing in for the answer's file, which could not be played.
    struct Slot
    {
        Stream::Playing shown;
        Directory directory;
        bool standIn = false;

        bool sameAs(const Slot& other) const
        {
            return directory.sameAs(other.directory) && shown.url == other.shown.url
                && shown.start == other.shown.start && shown.end == other.shown.end
                && shown.placeholder == other.shown.placeholder && standIn == other.standIn;
        }
    };

    StreamPlayer(log::Logger* logger, std::unique_ptr<MessageSink> sink,
        StreamClock& clock = StreamClock::system());
    // Stops and joins the thread.
    ~StreamPlayer();
    StreamPlayer(const StreamPlayer&) = delete;
    StreamPlayer& operator=(const StreamPlayer&) = delete;

    // Takes the directory's descriptor. Takes effect at once. When the new programme's answer for
    // now is the slot already playing (same file in the same directory, same start and end),
    // playback goes on without a break.
    void setProgramme(file::Descriptor directory, const QString& directoryName,
        QSharedPointer<Generator> generator, const QString& placeholder);
    Stream::Programme programme() const;
    std::optional<Stream::Playing> playing() const;

    // Told of every slot played; set while the thread is not running.
    void setObserver(std::shared_ptr<StreamPlayObserver> observer);

    // Starts the thread; a second call while it runs does nothing.
    void start();
    // Stops and joins the thread; it may be started again.
    void stop();
    bool running() const;

    // The media file a url of the schedule names below the open `directory`, opened without
    // following a symbolic link anywhere below it. A closed descriptor and `error` when the url
    // is refused (file::FileError::OutsideDirectory for an absolute name or one with "..", ELOOP
    // for a link on the way) or names no regular file.
    static file::Descriptor openMedia(int directory, const QString& url, std::error_code& error);

private:
    enum class Outcome { finished, changed, failed, stopped };
    using Steady = StreamClock::Steady;

    // What the engine's thread plays: the programme the queries show, and what only the thread
    // uses.
    struct Scheduled
    {
        Stream::Programme programme;
        Directory directory;
        QSharedPointer<Generator> generator;
    };

    void run();
    // Takes over the programme set last; false when there was nothing new.
    bool adopt();
    std::optional<Slot> slotAt(const QDateTime& at);
    // The programme's placeholder in the place of the slot's file; its url is empty when there
    // is no placeholder.
    Slot standInFor(const Slot& slot) const;
    // Plays the slot, or the placeholder in its place, with one log line when the slot's file
    // cannot be played.
    Outcome playOrStandIn(const Slot& slot);
    // `failure` says why, for Outcome::failed.
    Outcome play(const Slot& slot, QString& failure);
    Outcome pump(StreamPlayback& playback, QString& failure);
    // Hands the gathered messages to the sink, unless the programme changed in a way that ends
    // the slot.
    Outcome flush(StreamPlayback& playback);
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
    // The observer's account of a slot: its first packet went out; it ended; it failed (with
    // the placeholder standing in, or with nothing sent).
    void announce(const Slot& slot);
    void finish(StreamPlay::Outcome outcome);
    void failed(const Slot& slot);

    log::Logger* m_logger;
    std::unique_ptr<MessageSink> m_sink;
    StreamClock& m_clock;

    // Guards the members below it; m_changed is notified with every change of them.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    Scheduled m_programme;
    std::optional<Stream::Playing> m_shown;
    // The engine's thread is handing a message to the sink: setProgramme waits for it to go out.
    bool m_sending = false;

    // The engine thread's own copy of the programme it plays.
    Scheduled m_playing;
    // The engine thread's account of plays for the observer: the play going on, the slot the
    // placeholder stands in for, and the slot that failed last (told once, not at every retry).
    std::shared_ptr<StreamPlayObserver> m_observer;
    std::optional<StreamPlay> m_play;
    std::optional<Stream::Playing> m_standingIn;
    std::optional<Slot> m_lastFailed;
    std::thread m_thread;
};

} // namespace detail
} // namespace vesk
