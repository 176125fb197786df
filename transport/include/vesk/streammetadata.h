#pragma once

#include <vesk/streamtrack.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QString>

#include <optional>
#include <vector>

namespace vesk {

// What tells one slot of the schedule from another: the file's name and the span it was
// scheduled for. Every packet of a slot carries the same three; a packet with others belongs to
// another file. The times compare as instants, whatever offset they were written with.
struct StreamSlot
{
    QString url;
    QDateTime start;
    QDateTime end;

    bool operator==(const StreamSlot&) const = default;
};

// The metadata object that every message of the stream carries (docs/stream-protocol.md, section
// "Messages"), written by the register's engine and read by the displays here alone, so that the
// two cannot drift apart. A display reads it once per message and keeps the struct: the time base
// as integers and the slot as values, nothing left to parse per packet.
//
// On the wire (a compact JSON object, its members in this order since Qt writes them sorted):
//
//   "end"          the slot's end, wireTime()
//   "file"         the file's section within the playlist ("" for an idle span)
//   "placeholder"  true when the placeholder stands in
//   "playlist"     the playlist's section ("" for an idle span)
//   "start"        the slot's start, wireTime()
//   "timeBase"     "num/den": the unit of this track's pts and dts, both decimal, 1 .. 2^31 - 1
//   "track"        "video" or "audio"
//   "tracks"       the tracks the slot brings, e.g. ["video","audio"]
//   "url"          the file's name relative to the delivery
struct StreamMetadata
{
    // A track's time stamp t means t x num / den seconds.
    struct TimeBase
    {
        int num = 1;
        int den = 1;

        bool operator==(const TimeBase&) const = default;
    };

    QString playlist;
    QString file;
    StreamSlot slot;
    bool placeholder = false;
    StreamTrack track = StreamTrack::video;
    std::vector<StreamTrack> tracks;
    TimeBase timeBase;

    QJsonDocument toJson() const;
    // Nothing when the object lacks a member a display needs or has one it cannot use: a track
    // that is none of ours, a time base that is not two positive integers, a start or end that is
    // no time. Names of tracks in "tracks" that are none of ours are left out; missing "playlist",
    // "file" or "placeholder" read as empty and false.
    static std::optional<StreamMetadata> fromJson(const QJsonDocument& document);

    bool operator==(const StreamMetadata&) const = default;
};

// Times are written by vesk::protocol::wireTime (milliseconds, numeric offset, never "Z").

} // namespace vesk
