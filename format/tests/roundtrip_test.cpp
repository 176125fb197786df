// A real clip, made by the ffmpeg program, demuxed, packed in small messages, delivered in
// shuffled order and unpacked again must give back every packet and the codec parameters.
#include "codecparametersimage.h"
#include "formattest.h"

#include <vesk/format.h>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <random>
#include <vector>

using namespace vesk;
using namespace vesk::test;

namespace {

struct Source
{
    CodecParametersPointer parameters;
    QJsonDocument metadata;
    std::vector<PacketPointer> packets;
};

struct InputCloser
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

void makeClip(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
        { "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
            "testsrc=duration=2:size=320x240:rate=25", "-f", "lavfi", "-i",
            "sine=frequency=440:duration=2:sample_rate=48000", "-c:v", "libx264", "-preset",
            "ultrafast", "-g", "12", "-bf", "2", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a",
            "64k", "-ac", "2", path });
    ASSERT_TRUE(ffmpeg.waitForFinished(120000)) << ffmpeg.errorString().toStdString();
    ASSERT_EQ(ffmpeg.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
}

void demux(const QString& path, std::vector<Source>& streams)
{
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr), 0);
    std::unique_ptr<AVFormatContext, InputCloser> input(raw);
    ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        Source source;
        source.parameters = CodecParametersPointer(avcodec_parameters_alloc());
        ASSERT_GE(avcodec_parameters_copy(source.parameters.get(), stream->codecpar), 0);
        source.metadata = QJsonDocument(QJsonObject { { "index", int(i) },
            { "timeBase", QJsonArray { stream->time_base.num, stream->time_base.den } } });
        streams.push_back(std::move(source));
    }
    for (;;) {
        PacketPointer packet(av_packet_alloc());
        const int ret = av_read_frame(input.get(), packet.get());
        if (ret == AVERROR_EOF)
            break;
        ASSERT_EQ(ret, 0);
        streams[static_cast<std::size_t>(packet->stream_index)].packets.push_back(
            std::move(packet));
    }
}

} // namespace

TEST(RoundTripTest, RealClipSurvivesShuffledMessages)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("clip.mp4");
    ASSERT_NO_FATAL_FAILURE(makeClip(path));
    std::vector<Source> streams;
    ASSERT_NO_FATAL_FAILURE(demux(path, streams));
    ASSERT_EQ(streams.size(), 2u);

    std::mt19937 random(20261207);
    int withSideData = 0;
    int reordered = 0;
    for (Source& source : streams) {
        ASSERT_GT(source.packets.size(), 20u);
        Encoder encoder;
        encoder.setHeader(source.metadata, source.parameters.get());
        std::vector<QByteArray> messages;
        for (const PacketPointer& packet : source.packets) {
            encoder.addPacket(packet.get(), false);
            if (encoder.packets() == 4)
                messages.push_back(encoder.takeResult());
        }
        messages.push_back(encoder.takeResult());
        std::shuffle(messages.begin(), messages.end(), random);

        Decoder decoder;
        for (const QByteArray& message : messages)
            decoder.addMessage(bytesOf(message));
        EXPECT_EQ(decoder.getMetaData(), source.metadata);

        for (std::size_t i = 0; i < source.packets.size(); ++i) {
            const AVPacket* expected = source.packets[i].get();
            PacketPointer packet(av_packet_alloc());
            AVCodecParameters* out = nullptr;
            ASSERT_EQ(decoder.readPacket(packet.get(), &out), 0) << i;
            CodecParametersPointer parameters(out);
            EXPECT_EQ(bool(parameters), i == 0) << i;
            if (parameters) {
                const AVCodecParameters* original = source.parameters.get();
                EXPECT_EQ(detail::CodecParametersImage::fromParameters(*parameters),
                    detail::CodecParametersImage::fromParameters(*original));
                EXPECT_EQ(parameters->codec_id, original->codec_id);
                EXPECT_EQ(parameters->width, original->width);
                EXPECT_EQ(parameters->sample_rate, original->sample_rate);
                EXPECT_EQ(
                    av_channel_layout_compare(&parameters->ch_layout, &original->ch_layout), 0);
                ASSERT_EQ(parameters->extradata_size, original->extradata_size);
                ASSERT_GT(parameters->extradata_size, 0);
                EXPECT_EQ(std::memcmp(parameters->extradata, original->extradata,
                              static_cast<std::size_t>(original->extradata_size)),
                    0);
            }
            EXPECT_EQ(packet->dts, expected->dts) << i;
            EXPECT_EQ(packet->pts, expected->pts) << i;
            EXPECT_EQ(packet->flags, expected->flags) << i;
            EXPECT_EQ(payloadOf(packet.get()), payloadOf(expected)) << i;
            EXPECT_EQ(sideDataOf(packet.get()), sideDataOf(expected)) << i;
            withSideData += expected->side_data_elems > 0;
            reordered += expected->pts != expected->dts;
        }
        PacketPointer rest(av_packet_alloc());
        EXPECT_EQ(decoder.readPacket(rest.get(), nullptr), AVERROR(EAGAIN));
    }
    // The clip must exercise side data and B-frames, or the comparison proves less than it seems.
    EXPECT_GT(withSideData, 0);
    EXPECT_GT(reordered, 0);
}
