// Internal to vesk-display, not API.
#pragma once

#include "mediawriter.h"

#include <vesk/decoder.h>
#include <vesk/pointer.h>
#include <vesk/streamtrack.h>

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <map>

namespace vesk::display {

// The messages of one stream, sorted by the track their metadata names and decoded each track on
// its own (the tracks' time stamps share no unit and may coincide, and a decoder keeps one packet
// per dts), then printed one line per configuration and packet and recorded. A message of a track
// this display does not know is left out, with one line on standard error the first time.
//
// The register's texts (url, playlist and file names, times) are printed with spaces, control
// characters and "%" as %XX of their UTF-8 bytes, so that a line is one line of fields whatever
// the register sent.
class StreamTracks
{
public:
    // `lines` gets the printout (null: none); `writer` the recording (null: none).
    StreamTracks(std::FILE* lines, MediaWriter* writer);

    // False, with `error` set, when the recording cannot go on.
    bool read(const QByteArray& message, QString& error);
    qint64 packets() const { return m_packets; }

    // `text` as the printout shows it.
    static QByteArray printable(const QString& text);

private:
    struct Track
    {
        Decoder decoder;
        CodecParametersPointer parameters;
        AVRational timeBase { 1, 90000 };
    };

    bool configure(StreamTrack kind, Track& track, const QJsonObject& metadata, QString& error);
    bool output(StreamTrack kind, const Track& track, const AVPacket* packet,
        const QJsonObject& metadata, QString& error);

    std::FILE* m_lines;
    MediaWriter* m_writer;
    std::map<StreamTrack, Track> m_tracks;
    bool m_unknownTrack = false;
    qint64 m_packets = 0;
};

} // namespace vesk::display
