#include "streamdemuxer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>

using vesk::StreamTrack;
using vesk::detail::StreamDemuxer;
namespace file = vesk::file;

namespace {

bool ffmpeg(const QStringList& arguments)
{
    QProcess process;
    process.start("ffmpeg", QStringList { "-nostdin", "-loglevel", "error", "-y" } + arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

} // namespace

// What the engine reads, by what the delivered file holds (every one of them named x.mp4 in a
// delivery): media in the allowed containers with the tracks chosen, everything that names other
// files or is no media refused with a reason. A refused file opens nothing else: the canary
// stream the lists point at would make them play.
TEST(StreamDemuxer, OpensAllowedContainersOnlyAndChoosesTheTracks)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString both = dir.filePath("both.mp4");
    ASSERT_TRUE(ffmpeg({ "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=10:duration=1", "-f",
        "lavfi", "-i", "sine=duration=1", "-c:v", "libx264", "-c:a", "aac", both }));
    ASSERT_TRUE(ffmpeg({ "-i", both, "-c", "copy", dir.filePath("both.mkv") }));
    ASSERT_TRUE(ffmpeg({ "-i", both, "-c", "copy", dir.filePath("canary.ts") }));
    ASSERT_TRUE(ffmpeg({ "-i", both, "-vn", "-c", "copy", dir.filePath("sound.m4a") }));
    ASSERT_TRUE(ffmpeg({ "-i", both, "-frames:v", "1", dir.filePath("picture.png") }));
    const QByteArray canary = dir.filePath("canary.ts").toUtf8();
    ASSERT_TRUE(write(dir.filePath("list.m3u8"),
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + canary
            + "\n#EXT-X-ENDLIST\n"));
    ASSERT_TRUE(
        write(dir.filePath("list.ffconcat"), "ffconcat version 1.0\nfile " + canary + "\n"));
    ASSERT_TRUE(write(dir.filePath("session.sdp"),
        "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\nm=video 5004 RTP/AVP "
        "96\na=rtpmap:96 H264/90000\n"));
    ASSERT_TRUE(write(dir.filePath("noise"), QByteArray(4096, '\x5a')));

    struct Case
    {
        const char* file;
        bool withSound;
        // The tracks, or the start of the reason for refusing.
        std::vector<StreamTrack> tracks;
        const char* refused;
    };
    const auto video = StreamTrack::video;
    const auto audio = StreamTrack::audio;
    for (const Case& c : std::initializer_list<Case> {
             { "both.mp4", true, { video, audio }, "" },
             { "both.mp4", false, { video }, "" },
             { "both.mkv", true, { video, audio }, "" },
             { "canary.ts", true, { video, audio }, "" },
             { "sound.m4a", true, { audio }, "" },
             { "sound.m4a", false, {}, "no video" },
             { "list.m3u8", true, {}, "the container format hls is not allowed" },
             { "list.ffconcat", true, {}, "the container format concat is not allowed" },
             { "picture.png", true, {}, "the container format png_pipe is not allowed" },
             { "session.sdp", true, {}, "the container format sdp is not allowed" },
             { "noise", true, {}, "Invalid data" },
         }) {
        SCOPED_TRACE(c.file);
        StreamDemuxer demuxer([] { return false; });
        const QString error = demuxer.open(
            file::Descriptor(
                ::open(QFile::encodeName(dir.filePath(c.file)).constData(), O_RDONLY | O_CLOEXEC)),
            c.withSound);
        EXPECT_EQ(error.isEmpty(), !*c.refused) << error.toStdString();
        EXPECT_TRUE(!*c.refused || error.startsWith(c.refused)) << error.toStdString();
        if (!error.isEmpty())
            continue;
        std::vector<StreamTrack> kinds;
        for (const StreamDemuxer::Track& track : demuxer.tracks())
            kinds.push_back(track.kind);
        EXPECT_EQ(kinds, c.tracks);
        // Every packet read belongs to a chosen track and states how long it lasts.
        AVPacket* packet = av_packet_alloc();
        std::size_t track = 0;
        int packets = 0;
        while (demuxer.read(packet, track) == 0) {
            ++packets;
            EXPECT_LT(track, c.tracks.size());
            EXPECT_GT(packet->duration, 0);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        EXPECT_GE(packets, 10);
        EXPECT_NEAR(demuxer.lengthUs(), 1000000, 100000);
    }
}
