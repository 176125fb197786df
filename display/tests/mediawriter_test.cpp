#include "mediawriter.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <vector>

using vesk::display::MediaWriter;

namespace {

// A slot told apart from others by its name alone.
vesk::StreamSlot named(const char* url)
{
    return { url, {}, {} };
}

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
        ASSERT_TRUE(writer.begin(
            { vesk::StreamTrack::video, stream->codecpar, stream->time_base, named("slot"), {} },
            error))
            << error.toStdString();
        ASSERT_GE(av_seek_frame(input.get(), 0, 0, AVSEEK_FLAG_BACKWARD), 0);
        // The second pass joins in the middle of the first group of pictures.
        for (int skipped = 0; pass == 1 && skipped < 3; ++skipped) {
            ASSERT_GE(av_read_frame(input.get(), packet), 0);
            av_packet_unref(packet);
        }
        while (av_read_frame(input.get(), packet) >= 0) {
            EXPECT_TRUE(writer.write(vesk::StreamTrack::video, named("slot"), packet, error))
                << error.toStdString();
            // A packet that goes back in time is left out rather than breaking the file, and so
            // is one of another slot.
            EXPECT_TRUE(
                writer.write(vesk::StreamTrack::video, named("another slot"), packet, error));
            if (packet->dts > 0) {
                packet->dts -= 1;
                EXPECT_TRUE(writer.write(vesk::StreamTrack::video, named("slot"), packet, error));
            }
            // So is an empty one (a damaged message gives it), whatever its dts.
            packet->pts = packet->dts += 1000000;
            packet->size = 0;
            EXPECT_TRUE(writer.write(vesk::StreamTrack::video, named("slot"), packet, error));
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
    ASSERT_TRUE(nowhere.begin(
        { vesk::StreamTrack::video, stream->codecpar, stream->time_base, named("slot"), {} },
        error));
    ASSERT_GE(av_seek_frame(input.get(), 0, 0, AVSEEK_FLAG_BACKWARD), 0);
    ASSERT_GE(av_read_frame(input.get(), packet), 0);
    EXPECT_FALSE(nowhere.write(vesk::StreamTrack::video, named("slot"), packet, error));
    EXPECT_TRUE(error.contains("missing/dir/x.mkv")) << error.toStdString();
    av_packet_free(&packet);
}

namespace {

bool ffmpeg(const QStringList& arguments)
{
    QProcess process;
    process.start("ffmpeg", QStringList { "-nostdin", "-loglevel", "error", "-y" } + arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// The recording as the real ffmpeg sees it: the kind of each stream, when each starts (seconds),
// and what decoding it says on its error level.
struct Recording
{
    QStringList kinds;
    QList<double> starts;
    QString errors;
};

Recording inspect(const QString& path)
{
    Recording recording;
    QProcess ffprobe;
    ffprobe.start("ffprobe",
        { "-v", "error", "-show_entries", "stream=codec_type,start_time", "-of", "json", path });
    ffprobe.waitForFinished(30000);
    const QJsonDocument probed = QJsonDocument::fromJson(ffprobe.readAllStandardOutput());
    for (const QJsonValue& stream : probed.object().value("streams").toArray()) {
        recording.kinds << stream.toObject().value("codec_type").toString();
        recording.starts << stream.toObject().value("start_time").toString().toDouble();
    }
    QProcess decode;
    decode.start("ffmpeg", { "-nostdin", "-v", "error", "-i", path, "-f", "null", "-" });
    decode.waitForFinished(60000);
    recording.errors = QString::fromUtf8(decode.readAllStandardError());
    return recording;
}

} // namespace

// Both tracks of a slot go into one file of every container a display writes, each with the
// conversion its container needs, starting together wherever the recording joins, and decoding
// without an error line; a track announced but never configured is left out after the wait.
TEST(MediaWriter, WritesPictureAndSoundOfASlotIntoOneFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString mp4 = dir.filePath("source.mp4");
    ASSERT_TRUE(ffmpeg({ "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=3", "-f",
        "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3", "-ac", "2", "-c:v",
        "libx264", "-g", "25", "-c:a", "aac", mp4 }));
    // Sound with ADTS headers, as MPEG-TS carries it.
    const QString ts = dir.filePath("source.ts");
    ASSERT_TRUE(ffmpeg({ "-i", mp4, "-c", "copy", ts }));

    struct Case
    {
        const char* source;
        const char* out;
        // Packets of the source left out before the recording joins.
        int skip;
        bool soundConfigured;
    };
    int n = 0;
    for (const Case& c : std::initializer_list<Case> {
             { "source.mp4", "mp4", 0, true },
             { "source.mp4", "ts", 0, true },
             { "source.mp4", "mkv", 0, true },
             { "source.mp4", "mp4", 40, true },
             { "source.mp4", "ts", 40, true },
             { "source.ts", "mp4", 30, true },
             { "source.ts", "mkv", 0, true },
             { "source.mp4", "mp4", 0, false },
         }) {
        const QString out = dir.filePath(QString("out%1.%2").arg(++n).arg(c.out));
        SCOPED_TRACE(out.toStdString() + " from " + c.source);
        AVFormatContext* raw = nullptr;
        ASSERT_EQ(avformat_open_input(
                      &raw, dir.filePath(c.source).toUtf8().constData(), nullptr, nullptr),
            0);
        std::unique_ptr<AVFormatContext, InputClose> input(raw);
        ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
        MediaWriter writer(out);
        QString error;
        const std::vector<vesk::StreamTrack> announced { vesk::StreamTrack::video,
            vesk::StreamTrack::audio };
        const auto kindOf = [&](int index) {
            return input->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO
                ? vesk::StreamTrack::audio
                : vesk::StreamTrack::video;
        };
        // Configured as each track's first packet comes, sound first when the file has it so.
        std::vector<bool> configured(input->nb_streams, false);
        AVPacket* packet = av_packet_alloc();
        for (int read = 0; av_read_frame(input.get(), packet) >= 0; ++read) {
            const int index = packet->stream_index;
            const vesk::StreamTrack kind = kindOf(index);
            const bool wanted = kind == vesk::StreamTrack::video || c.soundConfigured;
            if (wanted && !configured[std::size_t(index)]) {
                configured[std::size_t(index)] = true;
                ASSERT_TRUE(
                    writer.begin({ kind, input->streams[index]->codecpar,
                                     input->streams[index]->time_base, named("slot"), announced },
                        error))
                    << error.toStdString();
            }
            if (read >= c.skip) {
                EXPECT_TRUE(writer.write(kind, named("slot"), packet, error))
                    << error.toStdString();
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        ASSERT_TRUE(writer.finish(error)) << error.toStdString();

        const Recording recording = inspect(out);
        EXPECT_EQ(recording.errors, "");
        EXPECT_EQ(recording.kinds,
            c.soundConfigured ? QStringList({ "video", "audio" }) : QStringList({ "video" }));
        if (recording.starts.size() == 2) {
            EXPECT_LE(std::abs(recording.starts[0] - recording.starts[1]), 0.2);
        }
    }
}
