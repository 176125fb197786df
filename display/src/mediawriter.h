// Internal to vesk-display, not API.
#pragma once

#include "mediatrack.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <vesk/pointer.h>
#include <vesk/streammetadata.h>
#include <vesk/streamtrack.h>

#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace vesk::display {

// Writes the received packets of a slot's tracks into one media file with libavformat, without
// decoding. Each slot, and each new codec configuration of a track within a slot, gets a file of
// its own: the first is `path`, the following ones get "-1", "-2", ... before the extension. "-"
// writes MPEG-TS to standard output, one file after another, which players read as one stream;
// there the time stamps of each file are moved to follow those of the one before, all tracks
// alike, since every slot of the sender starts again at the time stamps of its file.
//
// A recording may join a stream anywhere, so every file starts at a key frame of its leading
// track (the picture, when the slot has one): what comes before it, the pictures after it in
// decode order that are shown before it (they refer to pictures the file does not have) and the
// sound before it are left out, so picture and sound start together. A file waits for the tracks
// its slot announces, but not for long (waitForTracksUs of the leading track): a track whose
// configuration has not come by then is left out of that file. A slot that sends no key frame
// gets no file.
//
// A recording writes at most Limits: the file that would be one too many is not begun, the packet
// that would take the bytes past the limit is not written. From then on the writer takes nothing
// (every call fails with the same error) but completes the file it was writing.
class MediaWriter
{
public:
    struct Limits
    {
        // Files begun, on standard output too.
        int maxFiles = 1000;
        // Bytes of all files together, the containers' own bytes counted; completing the last
        // file adds its trailer (an MP4's index: some kB a minute).
        qint64 maxBytes = qint64(4) << 30;
    };

    // The longest a file waits for an announced track, counted in the leading track's time.
    static constexpr std::int64_t waitForTracksUs = 1000000;
    // Packets and bytes held while a file waits for its key frame or its tracks; the oldest go
    // first.
    static constexpr std::size_t maxPending = 1024;
    static constexpr qint64 maxPendingBytes = 64 * 1024 * 1024;

    struct Configuration
    {
        StreamTrack track = StreamTrack::video;
        const AVCodecParameters* parameters = nullptr;
        // The unit of the track's time stamps.
        AVRational timeBase { 1, 90000 };
        // The slot the track belongs to, and the tracks it brings; none: this track alone.
        StreamSlot slot;
        std::vector<StreamTrack> tracks;
    };

    explicit MediaWriter(QString path);
    MediaWriter(QString path, Limits limits);
    ~MediaWriter();
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // A track's configuration, before its packets: it joins the file being gathered, or ends it
    // and starts the next one (another slot, or a track configured anew). False, with `error`
    // set, when the file that ends cannot be completed or the parameters cannot be kept.
    bool begin(const Configuration& configuration, QString& error);
    // One packet of a track configured for `slot`; packets of another slot are left out. False,
    // with `error` set, when the file cannot be opened or written.
    bool write(StreamTrack track, const StreamSlot& slot, const AVPacket* packet, QString& error);
    // Finishes the current file, with what the filters still hold. False, with `error` set, when
    // the file could not be completed (a full disk, for one).
    bool finish(QString& error);

    // Name of the n-th file of `path` (0: `path` itself).
    static QString segmentName(const QString& path, int n);

private:
    MediaTrack* track(StreamTrack kind) const;
    StreamTrack leading() const;
    // Opens the file once its start and its tracks are known; true when it is open or waits.
    bool openWhenReady(QString& error);
    bool open(QString& error);
    // Passes a packet of an open file on, unless it lies before the file's start.
    bool take(MediaTrack& track, PacketPointer packet, QString& error);
    bool mux(const MediaTrack& track, AVPacket* packet, QString& error);
    // Moves the time stamps of a file on standard output behind those of the file before.
    void follow(AVPacket* packet, AVRational timeBase);
    bool pendingFull() const
    {
        return m_pending.size() > maxPending || m_pendingBytes > maxPendingBytes;
    }
    // Frees the file, its tracks and what waited; the first error of the trailer and of closing
    // the file.
    int close(bool withTrailer);
    // Bytes written so far, of the files completed and of the one being written.
    qint64 written() const;
    // Ends the recording at a limit: false, with `error` set to `reason`.
    bool stop(const QString& reason, QString& error);

    QString m_path;
    Limits m_limits;
    QString m_name;
    int m_segments = 0;
    qint64 m_completedBytes = 0;
    // Why the recording stopped at a limit; empty while it goes on.
    QString m_stopped;

    // The file being gathered or written: its slot, the tracks announced and those configured.
    StreamSlot m_slot;
    std::vector<StreamTrack> m_announced;
    std::vector<std::unique_ptr<MediaTrack>> m_tracks;
    // Before the file opens: the packets from the leading track's key frame on, and the others.
    std::deque<std::pair<StreamTrack, PacketPointer>> m_pending;
    qint64 m_pendingBytes = 0;
    // The file's start: the pts of the leading track's first key frame, in microseconds, and its
    // dts (where the file's time line begins).
    std::optional<std::int64_t> m_startUs;
    std::int64_t m_originUs = 0;
    std::int64_t m_latestUs = 0;
    AVFormatContext* m_context = nullptr;

    // Standard output only: where the next file starts (microseconds), what moves the time
    // stamps of this one, and the last dts of each of its streams after the move.
    std::optional<std::int64_t> m_followingStart;
    std::int64_t m_shiftUs = 0;
    std::vector<std::int64_t> m_lastDts;
};

} // namespace vesk::display
