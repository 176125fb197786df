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
// times fall back to 0 or null. Names are bounded, because they travel with every message of the
// stream: a file whose url is longer than maxNameSize is dropped from its playlist, and a longer
// section header, name, section or placeholder url is ignored. Both are logged as warnings, like
// unknown day names (logger "vesk.playlist.parser"). Whether a playlist can be scheduled is the
// generator's business.
class PlaylistParser
{
public:
    // PATH_MAX: no file name the engine could open is longer.
    static constexpr qsizetype maxNameSize = 4096;
    // A playlist.ini larger than this is no playlist; its reader does not parse it.
    static constexpr qint64 maxFileSize = qint64(1) << 20;

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
    bool fits(const QByteArray& what, const QByteArray& value) const;
    void dropLongUrls();
    void dump() const;

    log::Logger* m_logger;
    QByteArray m_placeholder;
    QList<Playlist> m_playlists;
};

} // namespace vesk
