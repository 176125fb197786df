// Internal to libvesk_stream, not API.
#pragma once

#include <vesk/playlist/generator.h>

#include <QByteArray>
#include <QDateTime>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vesk {

namespace log {
class Logger;
}

namespace detail {

// The engine's own thread: asks the schedule which file plays now, reads that file's packets with
// libavformat (no decoding) and hands them, packed into messages, to the sink at the pace of their
// time stamps. Nothing it meets in a file or a schedule stops it; it logs and asks again.
//
// The setters may be called from any thread; the sink is called on the engine's thread only.
class StreamPlayer
{
public:
    using Sink = std::function<void(const QByteArray& message)>;

    // Flush a message once it holds this many packets or payload bytes, even when more packets
    // are due at once (a burst after a seek, a large key frame).
    static constexpr qint64 maxPacketsPerMessage = 8;
    static constexpr qint64 maxBytesPerMessage = 64 * 1024;

    StreamPlayer(log::Logger* logger, Sink sink);
    // Stops and joins the thread.
    ~StreamPlayer();
    StreamPlayer(const StreamPlayer&) = delete;
    StreamPlayer& operator=(const StreamPlayer&) = delete;

    void setWorkDir(const QString& path);
    // Takes effect at once. When the new schedule's answer for now is the slot already playing
    // (same file, start and end), playback goes on without a break.
    void setGenerator(QSharedPointer<Generator> generator);
    void setPlaceholder(const QString& url);

    // Starts the thread; a second call while it runs does nothing.
    void start();
    // Stops and joins the thread; it may be started again.
    void stop();
    bool running() const;

    // The path a url of the schedule is read from, or empty when the url is refused: empty,
    // absolute, climbing out of the work directory with "..", or leading outside it through a
    // symbolic link.
    static QString resolve(const QString& workDir, const QString& url);

    struct Slot
    {
        QString url;
        QString playlist;
        QString file;
        QDateTime start;
        QDateTime end;
        bool placeholder = false;

        bool sameAs(const Slot& other) const
        {
            return url == other.url && start == other.start && end == other.end
                && placeholder == other.placeholder;
        }
    };

private:
    enum class Outcome { finished, changed, failed, stopped };
    using SteadyClock = std::chrono::steady_clock;

    void run();
    std::optional<Slot> nextSlot(const QDateTime& at);
    Outcome play(Slot& slot);
    // Waits until `deadline` or a change of the settings (or stop). Returns false when woken
    // before the deadline.
    bool waitUntil(SteadyClock::time_point deadline);
    // After a change of the settings during `slot`: true when the slot goes on.
    bool stillPlaying(Slot& slot);
    bool stopping() const;

    log::Logger* m_logger;
    Sink m_sink;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    bool m_stop = false;
    // m_stop for readers that must not take the lock (libavformat's interrupt callback).
    std::atomic<bool> m_stopFlag { false };
    std::uint64_t m_changes = 0;
    QSharedPointer<Generator> m_generator;
    QString m_placeholder;
    QString m_workDir;

    // The engine thread's own view: the generator it asks and the change count it has seen.
    QSharedPointer<Generator> m_asked;
    std::uint64_t m_seenChanges = 0;
    std::thread m_thread;
};

} // namespace detail
} // namespace vesk
