#pragma once

#include <vesk/playlist/playlist.h>

#include <QByteArray>
#include <QList>

class QIODevice;

namespace vesk {

namespace log {
class Logger;
}

// Reads playlist.ini into playlists and the placeholder URL.
//
// Malformed input is never an error: unknown lines and keys are skipped, bad numbers, dates and
// times fall back to 0 or null, and the only message is a warning for unknown day names (logger
// "vesk.playlist.parser"). Whether a playlist can be scheduled is the generator's business.
class PlaylistParser
{
public:
    PlaylistParser();

    // Reads `device` (already open for reading) to its end and adds what it finds to the results;
    // a second call on the same parser adds to and updates those of the first.
    void parse(QIODevice* device);

    // In order of creation.
    QList<Playlist> playlists() const { return m_playlists; }
    // Empty when the file names none.
    QByteArray placeholder() const { return m_placeholder; }

    // Reads a comma-separated list of day names ("mon", "monday", ..., "all"; any case, blanks
    // around items allowed). Unknown items are logged and add nothing, so the result may be 0.
    Playlist::WeekDays parseDays(const QByteArray& text) const;

private:
    void applyKey(const QByteArray& section, const QByteArray& key, const QByteArray& value);
    void dump() const;

    log::Logger* m_logger;
    QByteArray m_placeholder;
    QList<Playlist> m_playlists;
};

} // namespace vesk
