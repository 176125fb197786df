// Internal to vesk-display, not API.
#pragma once

#include "mediawriter.h"

#include <vesk/decoder.h>
#include <vesk/pointer.h>
#include <vesk/streammetadata.h>

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <map>

namespace vesk::display {

// The messages of one stream, sorted by the track their metadata names and decoded each track on
// its own (the tracks' time stamps share no unit and may coincide, and a decoder keeps one packet
// per dts), then printed one line per configuration and packet and recorded. The metadata is read
// once per message; every packet the message brings is of that slot and time base. A message of a
// track this display does not know, or whose metadata it cannot read, is left out, with one line on
// standard error the first time.
//
// The register's texts (url, playlist and file names, times) are printed as peerText() writes
// them, so that a line is one line of fields whatever the register sent.
class StreamTracks
{
public:
    // `lines` gets the printout (null: none); `writer` the recording (null: none).
    StreamTracks(std::FILE* lines, MediaWriter* writer);

    // False, with `error` set, when the recording cannot go on.
    bool read(const QByteArray& message, QString& error);
    qint64 packets() const { return m_packets; }

private:
    struct Track
    {
        Decoder decoder;
        CodecParametersPointer parameters;
        AVRational timeBase { 1, 90000 };
    };

    bool configure(Track& track, const StreamMetadata& metadata, QString& error);
    bool output(
        const Track& track, const AVPacket* packet, const StreamMetadata& metadata, QString& error);

    std::FILE* m_lines;
    MediaWriter* m_writer;
    std::map<StreamTrack, Track> m_tracks;
    bool m_unknownTrack = false;
    bool m_unreadable = false;
    qint64 m_packets = 0;
};

} // namespace vesk::display
