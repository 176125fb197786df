#include "formattest.h"

#include <vesk/encoder.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonObject>

#include <climits>

using namespace vesk;
using namespace vesk::test;

namespace {

// Header fields.
constexpr qsizetype metadataRange = 0, codecRange = 8, extradataRange = 16, packetTable = 24;
// Packet entry fields.
constexpr qsizetype ptsField = 0, dtsField = 8, flagsField = 16, dataRange = 20, sideTable = 28;

std::uint64_t packetCount(const QByteArray& message)
{
    return fieldAt(message, packetTable + 6, 2);
}

qsizetype entryAt(const QByteArray& message, qsizetype i)
{
    return static_cast<qsizetype>(fieldAt(message, packetTable, 4) + 36 * i);
}

QByteArray rangeBytes(const QByteArray& message, qsizetype rangeAt)
{
    return message.mid(static_cast<qsizetype>(fieldAt(message, rangeAt, 4)),
        static_cast<qsizetype>(fieldAt(message, rangeAt + 4, 4)));
}

CodecParametersPointer videoParameters(const QByteArray& extradata)
{
    CodecParametersPointer parameters(avcodec_parameters_alloc());
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = 640;
    parameters->height = 360;
    parameters->extradata = static_cast<std::uint8_t*>(
        av_mallocz(static_cast<std::size_t>(extradata.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(
        parameters->extradata, extradata.constData(), static_cast<std::size_t>(extradata.size()));
    parameters->extradata_size = static_cast<int>(extradata.size());
    return parameters;
}

} // namespace

TEST(EncoderTest, WorkedExampleIsSeventyTwoBytes)
{
    Encoder encoder;
    encoder.addPacket(makePacket(0, 0, AV_PKT_FLAG_KEY, "\x0A\x0B\x0C\x0D").get(), false);
    const QByteArray message = encoder.takeResult();

    const unsigned char expected[72] = {
        32, 0, 0, 0, 0, 0, 0, 0, // metadata: offset 32, size 0
        32, 0, 0, 0, 0, 0, 0, 0, // codec parameters
        32, 0, 0, 0, 0, 0, 0, 0, // extradata
        36, 0, 0, 0, 36, 0, 1, 0, // packet table: offset 36, entry size 36, count 1
        0x0A, 0x0B, 0x0C, 0x0D, // packet data
        0, 0, 0, 0, 0, 0, 0, 0, // pts
        0, 0, 0, 0, 0, 0, 0, 0, // dts
        1, 0, 0, 0, // flags
        32, 0, 0, 0, 4, 0, 0, 0, // data range
        36, 0, 0, 0, 12, 0, 0, 0, // side-data table: offset 36, entry size 12, count 0
    };
    EXPECT_EQ(message, QByteArray(reinterpret_cast<const char*>(expected), sizeof expected));

    QFile stored(VESK_TEST_DATA_DIR "/worked-example.bin");
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(message, stored.readAll());
}

TEST(EncoderTest, LaysOutPartsInOrder)
{
    Encoder encoder;
    const QByteArray extradata("\x01\x64\x00\x1f", 4);
    encoder.setHeader(QJsonDocument(QJsonObject { { "name", "кадр" }, { "index", 1 } }),
        videoParameters(extradata).get());
    encoder.addPacket(makePacket(40, 80, 0, "BBB",
                          { { AV_PKT_DATA_NEW_EXTRADATA, "xy" }, { AV_PKT_DATA_SKIP_SAMPLES, "" } })
                          .get(),
        false);
    encoder.addPacket(makePacket(-5, AV_NOPTS_VALUE, AV_PKT_FLAG_KEY, "AAAA").get(), false);
    const QByteArray message = encoder.takeResult();

    EXPECT_EQ(fieldAt(message, codecRange, 4), 32u);
    EXPECT_EQ(fieldAt(message, codecRange + 4, 4), 168u);
    EXPECT_EQ(fieldAt(message, extradataRange, 4), 200u);
    EXPECT_EQ(rangeBytes(message, extradataRange), extradata);
    EXPECT_EQ(fieldAt(message, metadataRange, 4), 204u);
    EXPECT_EQ(rangeBytes(message, metadataRange), QByteArray(R"({"index":1,"name":"кадр"})"));
    const qsizetype packetsStart
        = static_cast<qsizetype>(204 + fieldAt(message, metadataRange + 4, 4));

    // The codec parameters as written: the extradata pointer travels as zero, the size stays.
    EXPECT_EQ(fieldAt(message, 32 + 0, 4), std::uint64_t { AVMEDIA_TYPE_VIDEO });
    EXPECT_EQ(fieldAt(message, 32 + 4, 4), std::uint64_t { AV_CODEC_ID_H264 });
    EXPECT_EQ(fieldAt(message, 32 + 16, 8), 0u);
    EXPECT_EQ(fieldAt(message, 32 + 24, 4), 4u);
    EXPECT_EQ(fieldAt(message, 32 + 56, 4), 640u);

    // dts -5 first: data, no side data, an empty table at the write position.
    ASSERT_EQ(packetCount(message), 2u);
    const qsizetype first = entryAt(message, 0);
    EXPECT_EQ(static_cast<std::int64_t>(fieldAt(message, first + dtsField, 8)), -5);
    EXPECT_EQ(static_cast<std::int64_t>(fieldAt(message, first + ptsField, 8)), AV_NOPTS_VALUE);
    EXPECT_EQ(fieldAt(message, first + flagsField, 4), 1u);
    EXPECT_EQ(fieldAt(message, first + dataRange, 4), static_cast<std::uint64_t>(packetsStart));
    EXPECT_EQ(rangeBytes(message, first + dataRange), "AAAA");
    EXPECT_EQ(fieldAt(message, first + sideTable, 4), static_cast<std::uint64_t>(packetsStart + 4));
    EXPECT_EQ(fieldAt(message, first + sideTable + 4, 2), 12u);
    EXPECT_EQ(fieldAt(message, first + sideTable + 6, 2), 0u);

    // dts 40: data, the side-data bytes in order, then their table.
    const qsizetype second = entryAt(message, 1);
    EXPECT_EQ(static_cast<std::int64_t>(fieldAt(message, second + dtsField, 8)), 40);
    EXPECT_EQ(static_cast<std::int64_t>(fieldAt(message, second + ptsField, 8)), 80);
    EXPECT_EQ(
        fieldAt(message, second + dataRange, 4), static_cast<std::uint64_t>(packetsStart + 4));
    EXPECT_EQ(rangeBytes(message, second + dataRange), "BBB");
    const qsizetype table = packetsStart + 4 + 3 + 2;
    EXPECT_EQ(fieldAt(message, second + sideTable, 4), static_cast<std::uint64_t>(table));
    EXPECT_EQ(fieldAt(message, second + sideTable + 6, 2), 2u);
    EXPECT_EQ(fieldAt(message, table, 4), std::uint64_t { AV_PKT_DATA_NEW_EXTRADATA });
    EXPECT_EQ(rangeBytes(message, table + 4), "xy");
    EXPECT_EQ(fieldAt(message, table + 12, 4), std::uint64_t { AV_PKT_DATA_SKIP_SAMPLES });
    EXPECT_EQ(fieldAt(message, table + 16, 4), static_cast<std::uint64_t>(packetsStart + 9));
    EXPECT_EQ(fieldAt(message, table + 20, 4), 0u);

    // The packet table closes the message.
    EXPECT_EQ(fieldAt(message, packetTable, 4), static_cast<std::uint64_t>(table + 24));
    EXPECT_EQ(message.size(), table + 24 + 2 * 36);
}

TEST(EncoderTest, QueueIsOrderedAndUniqueByDts)
{
    Encoder encoder;
    encoder.addPacket(makePacket(3, 3, 0, "c").get(), false);
    encoder.addPacket(makePacket(1, 1, 0, "a").get(), false);
    encoder.addPacket(makePacket(2, 2, 0, "first").get(), false);
    encoder.addPacket(makePacket(2, 7, 0, "later").get(), false);
    EXPECT_EQ(encoder.packets(), 3);

    const QByteArray message = encoder.takeResult();
    EXPECT_EQ(encoder.packets(), 0);
    ASSERT_EQ(packetCount(message), 3u);
    const QList<QByteArray> payloads { "a", "later", "c" };
    for (qsizetype i = 0; i < 3; ++i) {
        EXPECT_EQ(
            fieldAt(message, entryAt(message, i) + dtsField, 8), static_cast<std::uint64_t>(i + 1));
        EXPECT_EQ(rangeBytes(message, entryAt(message, i) + dataRange), payloads[i]);
    }
    EXPECT_EQ(fieldAt(message, entryAt(message, 1) + ptsField, 8), 7u);
}

TEST(EncoderTest, HeaderDataStayAndPacketsGo)
{
    Encoder encoder;
    EXPECT_EQ(encoder.packets(), 0);
    encoder.addPacket(makePacket(1, 1, 0, "dropped by setHeader").get(), false);
    encoder.setHeader(QJsonDocument(QJsonObject { { "a", 1 } }), videoParameters("EXTRA").get());
    EXPECT_EQ(encoder.packets(), 0);

    LogLines log("vesk.encoder");
    const QByteArray empty = encoder.takeResult();
    EXPECT_EQ(packetCount(empty), 0u);
    EXPECT_EQ(rangeBytes(empty, metadataRange), R"({"a":1})");
    EXPECT_EQ(rangeBytes(empty, extradataRange), "EXTRA");
    EXPECT_EQ(fieldAt(empty, codecRange + 4, 4), 168u);
    EXPECT_EQ(empty.size(), 32 + 168 + 5 + 7);
    EXPECT_EQ(log.lines(),
        QStringList { QStringLiteral("Упаковано 0 пакетов в %1 байт").arg(empty.size()) });

    EXPECT_EQ(encoder.takeResult(), empty);

    encoder.addPacket(makePacket(1, 1, 0, "x").get(), false);
    encoder.clearPackets();
    EXPECT_EQ(encoder.packets(), 0);
    EXPECT_EQ(encoder.takeResult(), empty);

    encoder.addPacket(makePacket(1, 1, 0, "y").get(), false);
    const QByteArray one = encoder.takeResult();
    EXPECT_EQ(packetCount(one), 1u);
    EXPECT_EQ(log.lines().last(), QStringLiteral("Упаковано 1 пакетов в %1 байт").arg(one.size()));
}

TEST(EncoderTest, MarkerOwnsBitThirtyOne)
{
    struct Case
    {
        int flags;
        bool marker;
        std::uint32_t word;
    };
    const Case cases[] = {
        { AV_PKT_FLAG_KEY, false, 0x00000001 },
        { AV_PKT_FLAG_KEY, true, 0x80000001 },
        { 0, true, 0x80000000 },
        { INT_MIN | AV_PKT_FLAG_KEY | AV_PKT_FLAG_DISCARD, false, 0x00000005 },
        { INT_MIN, true, 0x80000000 },
    };
    for (const Case& c : cases) {
        Encoder encoder;
        encoder.addPacket(makePacket(0, 0, c.flags, "p").get(), c.marker);
        const QByteArray message = encoder.takeResult();
        EXPECT_EQ(fieldAt(message, entryAt(message, 0) + flagsField, 4), c.word)
            << "flags " << c.flags << " marker " << c.marker;
    }
}

TEST(EncoderTest, AddPacketLeavesThePacketAlone)
{
    Encoder encoder;
    PacketPointer packet = makePacket(9, 10, INT_MIN, "data", { { AV_PKT_DATA_PALETTE, "pal" } });
    encoder.addPacket(packet.get(), true);
    EXPECT_EQ(packet->flags, INT_MIN);
    EXPECT_EQ(payloadOf(packet.get()), "data");
    EXPECT_EQ(packet->side_data_elems, 1);
    // The queue holds copies: the packet may go at once.
    packet.reset();
    const QByteArray message = encoder.takeResult();
    EXPECT_EQ(rangeBytes(message, entryAt(message, 0) + dataRange), "data");
}

TEST(EncoderTest, MovedEncoderKeepsItsState)
{
    Encoder first;
    first.setHeader(QJsonDocument(QJsonObject { { "m", true } }), videoParameters("E").get());
    first.addPacket(makePacket(5, 5, 0, "p").get(), false);
    Encoder second(std::move(first));
    EXPECT_EQ(second.packets(), 1);
    Encoder third;
    third = std::move(second);
    const QByteArray message = third.takeResult();
    EXPECT_EQ(packetCount(message), 1u);
    EXPECT_EQ(rangeBytes(message, extradataRange), "E");
}

TEST(EncoderTest, CountsStayWithinSixteenBits)
{
    Encoder encoder;
    PacketPointer packet = makePacket(0, 0, 0, "p");
    const std::int64_t total = Encoder::maxPacketsPerMessage + 2;
    for (std::int64_t dts = 0; dts < total; ++dts) {
        packet->dts = dts;
        encoder.addPacket(packet.get(), false);
    }
    ASSERT_EQ(encoder.packets(), total);

    const QByteArray full = encoder.takeResult();
    EXPECT_EQ(packetCount(full), 65535u);
    EXPECT_EQ(fieldAt(full, entryAt(full, 65534) + dtsField, 8), 65534u);
    EXPECT_EQ(encoder.packets(), 2);

    const QByteArray rest = encoder.takeResult();
    ASSERT_EQ(packetCount(rest), 2u);
    EXPECT_EQ(fieldAt(rest, entryAt(rest, 0) + dtsField, 8), 65535u);
    EXPECT_EQ(fieldAt(rest, entryAt(rest, 1) + dtsField, 8), 65536u);
    EXPECT_EQ(encoder.packets(), 0);
}

TEST(EncoderTest, SideDataCountStaysWithinSixteenBits)
{
    // libavcodec never attaches this many items, but a caller can build such a packet by hand.
    PacketPointer packet = makePacket(0, 0, 0, "p");
    const int items = 65537;
    packet->side_data = static_cast<AVPacketSideData*>(av_calloc(items, sizeof(AVPacketSideData)));
    ASSERT_NE(packet->side_data, nullptr);
    packet->side_data_elems = items;
    packet->side_data[items - 1].data = static_cast<std::uint8_t*>(av_malloc(1));
    packet->side_data[items - 1].size = 1;

    LogLines log("vesk.encoder");
    Encoder encoder;
    encoder.addPacket(packet.get(), false);
    ASSERT_FALSE(log.lines().isEmpty());
    const QByteArray message = encoder.takeResult();
    const qsizetype entry = entryAt(message, 0);
    EXPECT_EQ(fieldAt(message, entry + sideTable + 6, 2), 65535u);
    // Table end == packet table start: all entries inside the message, none wrapped around.
    EXPECT_EQ(
        fieldAt(message, entry + sideTable, 4) + 12 * 65535, fieldAt(message, packetTable, 4));
}
