#include "mediawriter.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <vector>

using vesk::display::MediaWriter;

namespace {

bool makeClip(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            "testsrc=size=160x120:rate=10:duration=2", "-c:v", "libx264", "-pix_fmt", "yuv420p",
            "-g", "10", path });
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

// size and CRC-32 of each packet, in dts order, as ffprobe (not our code) reads the file.
QStringList probe(const QString& path)
{
    QProcess ffprobe;
    ffprobe.start("ffprobe",
        { "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size,data_hash",
            "-show_data_hash", "CRC32", "-of", "csv=p=0", path });
    EXPECT_TRUE(ffprobe.waitForFinished(30000));
    return QString::fromUtf8(ffprobe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

struct InputClose
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

} // namespace

TEST(MediaWriter, SegmentNames)
{
    struct Case
    {
        const char* path;
        int n;
        const char* name;
    };
    for (const Case& c : std::initializer_list<Case> {
             { "out.mp4", 0, "out.mp4" },
             { "out.mp4", 1, "out-1.mp4" },
             { "dir/x.ts", 2, "dir/x-2.ts" },
             { "plain", 1, "plain-1" },
             { "-", 3, "-" },
         })
        EXPECT_EQ(MediaWriter::segmentName(c.path, c.n), c.name) << c.path << ' ' << c.n;
}

// What a display receives goes into files packet for packet, a new file at each configuration.
TEST(MediaWriter, WritesEachConfigurationIntoAFileOfItsOwnWithoutChangingPackets)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString clip = dir.filePath("clip.mp4");
    ASSERT_TRUE(makeClip(clip));

    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, clip.toUtf8().constData(), nullptr, nullptr), 0);
    std::unique_ptr<AVFormatContext, InputClose> input(raw);
    ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
    const AVStream* stream = input->streams[0];

    const QString out = dir.filePath("received.mkv");
    MediaWriter writer(out);
    QString error;
    AVPacket* packet = av_packet_alloc();
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(writer.begin(stream->codecpar, stream->time_base, error))
            << error.toStdString();
        ASSERT_GE(av_seek_frame(input.get(), 0, 0, AVSEEK_FLAG_BACKWARD), 0);
        // The second pass joins in the middle of the first group of pictures.
        for (int skipped = 0; pass == 1 && skipped < 3; ++skipped) {
            ASSERT_GE(av_read_frame(input.get(), packet), 0);
            av_packet_unref(packet);
        }
        while (av_read_frame(input.get(), packet) >= 0) {
            EXPECT_TRUE(writer.write(packet, error)) << error.toStdString();
            // A packet that goes back in time is left out rather than breaking the file.
            if (packet->dts > 0) {
                packet->dts -= 1;
                EXPECT_TRUE(writer.write(packet, error));
            }
            // So is an empty one (a damaged message gives it), whatever its dts.
            packet->pts = packet->dts += 1000000;
            packet->size = 0;
            EXPECT_TRUE(writer.write(packet, error));
            av_packet_unref(packet);
        }
    }
    EXPECT_TRUE(writer.finish(error)) << error.toStdString();

    const QStringList source = probe(clip);
    ASSERT_EQ(source.size(), 20);
    EXPECT_EQ(probe(out), source);
    // From the next key frame on (one every ten packets).
    EXPECT_EQ(probe(MediaWriter::segmentName(out, 1)), source.mid(10));

    // The file opens with the first key frame, so that is where a bad name shows.
    MediaWriter nowhere(dir.filePath("missing/dir/x.mkv"));
    ASSERT_TRUE(nowhere.begin(stream->codecpar, stream->time_base, error));
    ASSERT_GE(av_seek_frame(input.get(), 0, 0, AVSEEK_FLAG_BACKWARD), 0);
    ASSERT_GE(av_read_frame(input.get(), packet), 0);
    EXPECT_FALSE(nowhere.write(packet, error));
    EXPECT_TRUE(error.contains("missing/dir/x.mkv")) << error.toStdString();
    av_packet_free(&packet);
}
