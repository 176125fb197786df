// Internal to vesk-display, not API.
#pragma once

extern "C" {
#include <libavcodec/bsf.h>
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

#include <vesk/pointer.h>

#include <QString>

#include <optional>

namespace vesk::display {

// Writes the received packets into media files with libavformat, without decoding. Each codec
// configuration gets a file of its own: the first is `path`, the following ones get "-1", "-2", ...
// before the extension. "-" writes MPEG-TS to standard output, one segment after another, which
// players read as one stream as long as the codec stays the same; there the time stamps of each
// segment are moved to follow those of the one before, since every slot of the sender starts
// again at the time stamps of its file.
//
// A recording may join a stream anywhere, so every file starts at a key frame of its
// configuration: what comes before it, and the pictures after it in decode order that are shown
// before it (they refer to pictures the file does not have), are left out. A configuration that
// sends no key frame gets no file. Packets as MP4 stores them (NAL units behind length prefixes,
// parameter sets in the extradata) are turned into start-code form for containers that need it.
class MediaWriter
{
public:
    explicit MediaWriter(QString path);
    ~MediaWriter();
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // Finishes the current configuration and starts the next one, for `parameters`, whose time
    // stamps count in `timeBase`; its file opens at its first key frame. False, with `error` set,
    // when the writer cannot keep the parameters.
    bool begin(const AVCodecParameters* parameters, AVRational timeBase, QString& error);
    // Writes one packet of the current configuration; packets whose dts does not grow are left
    // out, since no muxer takes them. False, with `error` set, when the file cannot be opened or
    // written.
    bool write(const AVPacket* packet, QString& error);
    // Finishes the current file, with what the bitstream filter still holds. False, with `error`
    // set, when the file could not be completed (a full disk, for one).
    bool finish(QString& error);

    // Name of the n-th file of `path` (0: `path` itself).
    static QString segmentName(const QString& path, int n);

private:
    using Parameters = CodecParametersPointer;
    using Filter = Pointer<AVBSFContext, pointer::Function<av_bsf_free>>;

    bool open(QString& error);
    // Passes `packet` (null: the end of the configuration) through the filter into the file.
    bool send(AVPacket* packet, QString& error);
    bool mux(AVPacket* packet, QString& error);
    // Moves the time stamps of a segment on standard output behind those of the segment before.
    void follow(AVPacket* packet, AVRational timeBase);
    // Frees the file and the filter; the first error of the trailer and of closing the file.
    int close(bool withTrailer);

    QString m_path;
    QString m_name;
    int m_segments = 0;
    Parameters m_parameters;
    AVRational m_timeBase { 1, 90000 };
    AVFormatContext* m_context = nullptr;
    Filter m_filter;
    PacketPointer m_filtered;
    std::int64_t m_lastDts = AV_NOPTS_VALUE;
    std::int64_t m_keyPts = AV_NOPTS_VALUE;
    // Standard output only: where the next segment starts (microseconds), what moves the time
    // stamps of this one, and its last dts after the move.
    std::int64_t m_followingStart = AV_NOPTS_VALUE;
    std::optional<std::int64_t> m_shift;
    std::int64_t m_shiftedDts = AV_NOPTS_VALUE;
};

} // namespace vesk::display
