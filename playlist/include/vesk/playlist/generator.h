#pragma once

#include <vesk/playlist/playlist.h>

#include <QDateTime>
#include <QList>

#include <chrono>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vesk {

namespace log {
class Logger;
}

// Answers which file of which playlist is on screen at an instant, since when and until when.
//
// Of the playlists active at an instant, those of the highest priority share one rotation: each
// plays all its files in file order, the playlists in list order. A full computation depends only
// on the playlists and the instant; a request at the end of the previous answer is served
// incrementally. Times of day are wall-clock times of the local time zone; on the days the clock
// jumps, a window starts and ends at the first instant the clock shows its start and end time
// (so a window inside a skipped hour does not play, and a repeated hour plays once).
//
// Not thread-safe: `next` changes the generator, so calls must come from one thread at a time.
class Generator
{
public:
    // The answer of `next`. `playlist` and `file` point into the generator and stay valid until
    // the next `setPlaylists` or the generator's destruction; both are null for an idle span.
    struct Item
    {
        QDateTime start;
        QDateTime end;
        const Playlist* playlist = nullptr;
        const Playlist::File* file = nullptr;
    };

    // One schedulable playlist: a normalised copy (start and end time and dates set, negative
    // file durations made 0) with its rotation position.
    struct PlaylistState
    {
        Playlist playlist;
        bool allDay = false;
        bool crossesMidnight = false;
        std::chrono::seconds totalDuration { 0 };
        bool selected = false;
        // Index into playlist.files of the file most recently returned; files.size() when none.
        qsizetype currentFile = 0;

        // Whether the date lies within the dates and on one of the week days.
        bool isActive(const QDate& date) const;
        bool isActive(const QDateTime& t) const;
        // The start of the window containing t; t must be active.
        QDateTime startFor(const QDateTime& t) const;
        // The end of the window that starts at s (or contains s).
        QDateTime endForStart(const QDateTime& s) const;
        // The first window start at or after t; null when there is none.
        QDateTime nextStartFrom(const QDateTime& t) const;
        // The last window end at or before t; null when there is none.
        QDateTime previousEnd(const QDateTime& t) const;
    };
    using States = std::vector<PlaylistState>;

    Generator();
    ~Generator();
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    // Replaces the schedule. Playlists that cannot be scheduled (end date before start date, no
    // week days, total duration 0) are left out with a warning. The next `next` computes afresh.
    void setPlaylists(const QList<Playlist>& playlists);

    // The file on screen at t. Never fails: when nothing is scheduled at t the answer is the idle
    // span around t, with null playlist and file. Asking again at the previous answer's `end`
    // returns the following slot, starting exactly there.
    Item next(const QDateTime& t);

    // The highest priority among the states active at t (with `selectedOnly`, among those in the
    // current rotation); empty when there is none.
    std::optional<int> findActivePriority(const QDateTime& t, bool selectedOnly) const;

    // The first selected state at or after `from`, wrapping around to the beginning; end() when
    // no state is selected.
    States::iterator findNextActivePlaylist(States::iterator from);

    // The full computation of `next`, ignoring the previous answer.
    Item computeBorders(const QDateTime& t);

    const States& states() const { return m_states; }

private:
    log::Logger* m_logger;
    States m_states;
    States::iterator m_current;
    // Milliseconds since the epoch; empty before the first answer and after setPlaylists.
    std::optional<qint64> m_lastEnd;
    std::optional<qint64> m_border;
    // Instants of wall times far from the requests (window starts years back), which do not
    // change while the playlists stay the same.
    std::unordered_map<qint64, qint64> m_farInstants;
};

} // namespace vesk
