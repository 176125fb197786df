// Internal to vesk-display, not API.
#pragma once

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

#include <QString>

namespace vesk::display {

// Writes the received packets into media files with libavformat, without decoding. Each codec
// configuration gets a file of its own: the first is `path`, the following ones get "-1", "-2", ...
// before the extension. "-" writes MPEG-TS to standard output, one segment after another, which
// players read as one stream.
class MediaWriter
{
public:
    explicit MediaWriter(QString path);
    ~MediaWriter();
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // Closes the current file and opens the next one for `parameters`, whose time stamps count in
    // `timeBase`. False, with `error` set, when the file cannot be opened.
    bool begin(const AVCodecParameters* parameters, AVRational timeBase, QString& error);
    // Writes one packet of the current configuration; packets whose dts does not grow are left
    // out, since no muxer takes them. False, with `error` set, on a write error.
    bool write(const AVPacket* packet, QString& error);
    // Finishes the current file.
    void finish();

    // Name of the n-th file of `path` (0: `path` itself).
    static QString segmentName(const QString& path, int n);

private:
    void discard();

    QString m_path;
    int m_segments = 0;
    AVFormatContext* m_context = nullptr;
    AVRational m_timeBase { 1, 90000 };
    std::int64_t m_lastDts = AV_NOPTS_VALUE;
};

} // namespace vesk::display
