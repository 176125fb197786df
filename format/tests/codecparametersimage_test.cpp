#include "codecparametersimage.h"
#include "formattest.h"

#include <gtest/gtest.h>

using namespace vesk;
using namespace vesk::test;
using vesk::detail::CodecParametersImage;

namespace {

// Every field a distinct value, so a field written at the wrong offset shows.
CodecParametersPointer everyField()
{
    CodecParametersPointer p(avcodec_parameters_alloc());
    p->codec_type = AVMEDIA_TYPE_AUDIO;
    p->codec_id = AV_CODEC_ID_AAC;
    p->codec_tag = 0x61626364;
    p->extradata = static_cast<std::uint8_t*>(av_mallocz(8 + AV_INPUT_BUFFER_PADDING_SIZE));
    p->extradata_size = 8;
    p->format = 8;
    p->bit_rate = 0x0102030405060708;
    p->bits_per_coded_sample = 11;
    p->bits_per_raw_sample = 12;
    p->profile = 13;
    p->level = 14;
    p->width = 15;
    p->height = 16;
    p->sample_aspect_ratio = { 17, 18 };
    p->field_order = AV_FIELD_TT;
    p->color_range = AVCOL_RANGE_JPEG;
    p->color_primaries = AVCOL_PRI_BT2020;
    p->color_trc = AVCOL_TRC_SMPTE2084;
    p->color_space = AVCOL_SPC_BT2020_NCL;
    p->chroma_location = AVCHROMA_LOC_TOPLEFT;
    p->video_delay = 19;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    p->channel_layout = 0x3F;
    p->channels = 6;
#pragma GCC diagnostic pop
    p->sample_rate = 48000;
    p->block_align = 20;
    p->frame_size = 1024;
    p->initial_padding = 21;
    p->trailing_padding = 22;
    p->seek_preroll = 23;
    av_channel_layout_from_mask(&p->ch_layout, AV_CH_LAYOUT_5POINT1);
    return p;
}

} // namespace

TEST(CodecParametersImageTest, FieldsSitAtTheirOffsets)
{
    CodecParametersPointer p = everyField();
    const QByteArray image = CodecParametersImage::fromParameters(*p);
    ASSERT_EQ(image.size(), 168);

    const std::pair<qsizetype, std::uint64_t> fields4[] = { { 0, AVMEDIA_TYPE_AUDIO },
        { 4, AV_CODEC_ID_AAC }, { 8, 0x61626364 }, { 12, 0 }, { 24, 8 }, { 28, 8 }, { 40, 11 },
        { 44, 12 }, { 48, 13 }, { 52, 14 }, { 56, 15 }, { 60, 16 }, { 64, 17 }, { 68, 18 },
        { 72, AV_FIELD_TT }, { 76, AVCOL_RANGE_JPEG }, { 80, AVCOL_PRI_BT2020 },
        { 84, AVCOL_TRC_SMPTE2084 }, { 88, AVCOL_SPC_BT2020_NCL }, { 92, AVCHROMA_LOC_TOPLEFT },
        { 96, 19 }, { 100, 0 }, { 112, 6 }, { 116, 48000 }, { 120, 20 }, { 124, 1024 }, { 128, 21 },
        { 132, 22 }, { 136, 23 }, { 140, 0 }, { 144, AV_CHANNEL_ORDER_NATIVE }, { 148, 6 } };
    for (const auto& [offset, value] : fields4)
        EXPECT_EQ(fieldAt(image, offset, 4), value) << "offset " << offset;
    EXPECT_EQ(fieldAt(image, 16, 8), 0u) << "the extradata pointer travels as zero";
    EXPECT_EQ(fieldAt(image, 32, 8), 0x0102030405060708u);
    EXPECT_EQ(fieldAt(image, 104, 8), 0x3Fu);
    EXPECT_EQ(fieldAt(image, 152, 8), std::uint64_t { AV_CH_LAYOUT_5POINT1 });
    EXPECT_EQ(fieldAt(image, 160, 8), 0u);
}

TEST(CodecParametersImageTest, AppliesEveryField)
{
    CodecParametersPointer source = everyField();
    const QByteArray image = CodecParametersImage::fromParameters(*source);
    CodecParametersPointer target(avcodec_parameters_alloc());
    EXPECT_EQ(CodecParametersImage::applyTo(image, target.get()), 8);
    EXPECT_EQ(target->extradata, nullptr);
    EXPECT_EQ(target->extradata_size, 0);
    target->extradata_size = 8;
    EXPECT_EQ(CodecParametersImage::fromParameters(*target), image);
    target->extradata_size = 0;
    EXPECT_EQ(target->sample_rate, 48000);
    EXPECT_EQ(av_channel_layout_compare(&target->ch_layout, &source->ch_layout), 0);
}

TEST(CodecParametersImageTest, CustomChannelMapDoesNotTravel)
{
    CodecParametersPointer source(avcodec_parameters_alloc());
    source->ch_layout.order = AV_CHANNEL_ORDER_CUSTOM;
    source->ch_layout.nb_channels = 2;
    source->ch_layout.u.map = static_cast<AVChannelCustom*>(av_calloc(2, sizeof(AVChannelCustom)));
    ASSERT_NE(source->ch_layout.u.map, nullptr);
    source->ch_layout.u.map[0].id = AV_CHAN_FRONT_LEFT;
    source->ch_layout.u.map[1].id = AV_CHAN_LOW_FREQUENCY;
    const QByteArray image = CodecParametersImage::fromParameters(*source);
    EXPECT_EQ(fieldAt(image, 144, 4), std::uint64_t { AV_CHANNEL_ORDER_CUSTOM });
    EXPECT_EQ(fieldAt(image, 152, 8), 0u);

    // A map pointer from a foreign image must never reach av_channel_layout_uninit.
    QByteArray foreign = image;
    setFieldAt(foreign, 152, 8, 0xDEADBEEFCAFE);
    setFieldAt(foreign, 160, 8, 0x1234);
    CodecParametersPointer target(avcodec_parameters_alloc());
    CodecParametersImage::applyTo(foreign, target.get());
    EXPECT_EQ(target->ch_layout.order, AV_CHANNEL_ORDER_UNSPEC);
    EXPECT_EQ(target->ch_layout.nb_channels, 2);
    EXPECT_EQ(target->ch_layout.opaque, nullptr);
}

TEST(CodecParametersImageTest, ShortImageOverwritesOnlyItsBytes)
{
    CodecParametersPointer source = everyField();
    const QByteArray image = CodecParametersImage::fromParameters(*source).left(30);
    CodecParametersPointer target(avcodec_parameters_alloc());
    target->format = -1;
    target->width = 77;
    EXPECT_EQ(CodecParametersImage::applyTo(image, target.get()), 8);
    EXPECT_EQ(target->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(target->codec_tag, 0x61626364u);
    // format is cut after two bytes: 8 in the low half, the old -1 in the high half.
    EXPECT_EQ(static_cast<std::uint32_t>(target->format), 0xFFFF0008u);
    EXPECT_EQ(target->width, 77);

    EXPECT_EQ(CodecParametersImage::applyTo(QByteArrayView(), target.get()), 0);
    EXPECT_EQ(target->codec_type, AVMEDIA_TYPE_AUDIO);
}

TEST(CodecParametersImageTest, UnknownEnumerationValuesPassThrough)
{
    // A newer sender may use codec ids and colour values this libavcodec lacks.
    CodecParametersPointer source = everyField();
    QByteArray image = CodecParametersImage::fromParameters(*source);
    setFieldAt(image, 4, 4, 0x7FFF0001);
    setFieldAt(image, 80, 4, 0x7FFFFFFF);
    setFieldAt(image, 144, 4, 99);
    CodecParametersPointer target(avcodec_parameters_alloc());
    CodecParametersImage::applyTo(image, target.get());
    QByteArray back = CodecParametersImage::fromParameters(*target);
    EXPECT_EQ(fieldAt(back, 4, 4), 0x7FFF0001u);
    EXPECT_EQ(fieldAt(back, 80, 4), 0x7FFFFFFFu);
    EXPECT_EQ(fieldAt(back, 144, 4), std::uint64_t { AV_CHANNEL_ORDER_UNSPEC });
}
