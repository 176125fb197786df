#include "formattest.h"

#include <vesk/averror.h>
#include <vesk/format.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonObject>

#include <climits>
#include <functional>

using namespace vesk;
using namespace vesk::test;

namespace {

CodecParametersPointer parameters(int width, const QByteArray& extradata)
{
    CodecParametersPointer p(avcodec_parameters_alloc());
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = AV_CODEC_ID_H264;
    p->width = width;
    p->height = 240;
    if (!extradata.isEmpty()) {
        p->extradata = static_cast<std::uint8_t*>(
            av_mallocz(static_cast<std::size_t>(extradata.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(
            p->extradata, extradata.constData(), static_cast<std::size_t>(extradata.size()));
        p->extradata_size = static_cast<int>(extradata.size());
    }
    return p;
}

QJsonDocument metadata(const QString& name)
{
    return QJsonDocument(QJsonObject { { "stream", name } });
}

// One message from a fresh encoder with a header, holding packets with the given dts values.
QByteArray message(const QList<std::int64_t>& dtsList, int width = 320,
    const QByteArray& extradata = "SPS+PPS", const QString& name = "main")
{
    Encoder encoder;
    encoder.setHeader(metadata(name), parameters(width, extradata).get());
    for (std::int64_t dts : dtsList)
        encoder.addPacket(makePacket(dts, dts + 1, 0, QByteArray::number(dts)).get(), false);
    return encoder.takeResult();
}

struct Read
{
    int ret = 0;
    PacketPointer packet { av_packet_alloc() };
    CodecParametersPointer parameters;
};

// readPacket with an output for parameters.
Read readWithCodec(Decoder& decoder)
{
    Read read;
    AVCodecParameters* out = nullptr;
    read.ret = decoder.readPacket(read.packet.get(), &out);
    read.parameters.reset(out);
    return read;
}

Read readWithoutCodec(Decoder& decoder)
{
    Read read;
    read.ret = decoder.readPacket(read.packet.get(), nullptr);
    return read;
}

} // namespace

TEST(DecoderTest, NewDecoderHasNothing)
{
    Decoder decoder;
    EXPECT_EQ(readWithCodec(decoder).ret, AVERROR(EAGAIN));
    EXPECT_EQ(readWithoutCodec(decoder).ret, AVERROR(EAGAIN));
    EXPECT_FALSE(decoder.getMetaData().has_value());
    EXPECT_EQ(decoder.getCodec(nullptr), AVERROR(EINVAL));

    // getCodec frees what the output held even when it has nothing to give.
    AVCodecParameters* held = avcodec_parameters_alloc();
    EXPECT_EQ(decoder.getCodec(&held), AVERROR(EAGAIN));
    EXPECT_EQ(held, nullptr);

    EXPECT_EQ(decoder.readPacket(nullptr, nullptr), AVERROR(EINVAL));
}

TEST(DecoderTest, RoundTripsPacketsWithSideData)
{
    const SideData side { { AV_PKT_DATA_NEW_EXTRADATA, "new extradata" },
        { AV_PKT_DATA_SKIP_SAMPLES, QByteArray("\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00", 10) },
        { AV_PKT_DATA_STRINGS_METADATA, "" } };
    Encoder encoder;
    encoder.setHeader(metadata("a"), parameters(320, "X").get());
    encoder.addPacket(makePacket(100, 102, AV_PKT_FLAG_KEY | AV_PKT_FLAG_DISPOSABLE,
                          QByteArray(3000, '\x5A'), side)
                          .get(),
        false);
    encoder.addPacket(makePacket(101, AV_NOPTS_VALUE, 0, "").get(), false);
    encoder.addPacket(makePacket(AV_NOPTS_VALUE, 7, AV_PKT_FLAG_CORRUPT, "np").get(), false);

    Decoder decoder;
    decoder.addMessage(bytesOf(encoder.takeResult()));

    Read first = readWithCodec(decoder);
    ASSERT_EQ(first.ret, 0);
    EXPECT_EQ(first.packet->dts, AV_NOPTS_VALUE);
    EXPECT_EQ(first.packet->pts, 7);
    EXPECT_EQ(first.packet->flags, AV_PKT_FLAG_CORRUPT);
    EXPECT_EQ(payloadOf(first.packet.get()), "np");
    EXPECT_TRUE(first.parameters);

    Read second = readWithCodec(decoder);
    ASSERT_EQ(second.ret, 0);
    EXPECT_EQ(second.packet->dts, 100);
    EXPECT_EQ(second.packet->pts, 102);
    EXPECT_EQ(second.packet->flags, AV_PKT_FLAG_KEY | AV_PKT_FLAG_DISPOSABLE);
    EXPECT_EQ(payloadOf(second.packet.get()), QByteArray(3000, '\x5A'));
    EXPECT_EQ(sideDataOf(second.packet.get()), side);
    EXPECT_FALSE(second.parameters);

    Read third = readWithCodec(decoder);
    ASSERT_EQ(third.ret, 0);
    EXPECT_EQ(third.packet->dts, 101);
    EXPECT_EQ(third.packet->pts, AV_NOPTS_VALUE);
    EXPECT_EQ(third.packet->size, 0);
    EXPECT_EQ(third.packet->side_data_elems, 0);

    EXPECT_EQ(readWithCodec(decoder).ret, AVERROR(EAGAIN));
}

TEST(DecoderTest, FirstPacketBringsParametersWithPaddedExtradata)
{
    const QByteArray extradata("\x01\x64\x00\x1f\xff\xe1", 6);
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 0 }, 1280, extradata)));
    Read read = readWithCodec(decoder);
    ASSERT_EQ(read.ret, 0);
    ASSERT_TRUE(read.parameters);
    EXPECT_EQ(read.parameters->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(read.parameters->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(read.parameters->width, 1280);
    ASSERT_EQ(read.parameters->extradata_size, 6);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(read.parameters->extradata), 6), extradata);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(read.parameters->extradata) + 6,
                  AV_INPUT_BUFFER_PADDING_SIZE),
        QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0'));
}

TEST(DecoderTest, ChangeWithoutOutputWaitsForGetCodec)
{
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 0, 1 }, 640)));

    EXPECT_EQ(readWithoutCodec(decoder).ret, AVERROR_INPUT_CHANGED);
    CodecParametersPointer parameters;
    {
        AVCodecParameters* out = nullptr;
        ASSERT_EQ(decoder.getCodec(&out), 0);
        parameters.reset(out);
    }
    EXPECT_EQ(parameters->width, 640);

    Read first = readWithoutCodec(decoder);
    ASSERT_EQ(first.ret, 0);
    EXPECT_EQ(first.packet->dts, 0);
    Read second = readWithCodec(decoder);
    ASSERT_EQ(second.ret, 0);
    EXPECT_EQ(second.packet->dts, 1);
    EXPECT_FALSE(second.parameters);
}

TEST(DecoderTest, CodecChangesAreReportedOnceEach)
{
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 0, 1, 2 }, 320, "A")));
    decoder.addMessage(bytesOf(message({ 3, 4 }, 640, "A")));
    decoder.addMessage(bytesOf(message({ 5, 6 }, 640, "B")));

    // A caller without a parameters output sees AVERROR_INPUT_CHANGED with a null output
    // untouched, then the packet after getCodec.
    const QList<std::int64_t> changesAt { 0, 3, 5 };
    for (std::int64_t dts = 0; dts <= 6; ++dts) {
        if (changesAt.contains(dts)) {
            EXPECT_EQ(readWithoutCodec(decoder).ret, AVERROR_INPUT_CHANGED) << dts;
            AVCodecParameters* out = nullptr;
            ASSERT_EQ(decoder.getCodec(&out), 0);
            EXPECT_EQ(out->width, dts < 3 ? 320 : 640);
            EXPECT_EQ(out->extradata[0], dts < 5 ? 'A' : 'B');
            avcodec_parameters_free(&out);
        }
        Read read = readWithoutCodec(decoder);
        ASSERT_EQ(read.ret, 0) << dts;
        EXPECT_EQ(read.packet->dts, dts);
    }

    // The same stream to a caller with an output: parameters with exactly those packets.
    Decoder withOutput;
    withOutput.addMessage(bytesOf(message({ 5, 6 }, 640, "B")));
    withOutput.addMessage(bytesOf(message({ 0, 1, 2 }, 320, "A")));
    withOutput.addMessage(bytesOf(message({ 3, 4 }, 640, "A")));
    for (std::int64_t dts = 0; dts <= 6; ++dts) {
        Read read = readWithCodec(withOutput);
        ASSERT_EQ(read.ret, 0);
        EXPECT_EQ(read.packet->dts, dts);
        EXPECT_EQ(bool(read.parameters), changesAt.contains(dts)) << dts;
    }
}

TEST(DecoderTest, MarkerReportsChangeOnceWithSameParameters)
{
    Encoder encoder;
    encoder.setHeader(metadata("m"), parameters(320, "A").get());
    encoder.addPacket(makePacket(0, 0, 0, "a").get(), false);
    encoder.addPacket(makePacket(1, 1, AV_PKT_FLAG_KEY, "b").get(), true);
    encoder.addPacket(makePacket(2, 2, 0, "c").get(), false);
    const QByteArray bytes = encoder.takeResult();

    Decoder decoder;
    decoder.addMessage(bytesOf(bytes));
    EXPECT_TRUE(readWithCodec(decoder).parameters);
    Read marked = readWithCodec(decoder);
    ASSERT_EQ(marked.ret, 0);
    EXPECT_EQ(marked.packet->dts, 1);
    EXPECT_EQ(marked.packet->flags, AV_PKT_FLAG_KEY);
    ASSERT_TRUE(marked.parameters);
    EXPECT_EQ(marked.parameters->width, 320);
    EXPECT_FALSE(readWithCodec(decoder).parameters);

    // Without an output: reported once, then handed out without getCodec since nothing else
    // changed.
    Decoder second;
    second.addMessage(bytesOf(bytes));
    EXPECT_EQ(readWithoutCodec(second).ret, AVERROR_INPUT_CHANGED);
    EXPECT_EQ(readWithoutCodec(second).ret, AVERROR_INPUT_CHANGED);
    AVCodecParameters* out = nullptr;
    ASSERT_EQ(second.getCodec(&out), 0);
    avcodec_parameters_free(&out);
    EXPECT_EQ(readWithoutCodec(second).ret, 0);
    EXPECT_EQ(readWithoutCodec(second).ret, AVERROR_INPUT_CHANGED);
    Read again = readWithoutCodec(second);
    ASSERT_EQ(again.ret, 0);
    EXPECT_EQ(again.packet->dts, 1);
    EXPECT_EQ(again.packet->flags, AV_PKT_FLAG_KEY);
}

TEST(DecoderTest, NewParametersReplaceWhatTheOutputHeld)
{
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 0 }, 320)));
    decoder.addMessage(bytesOf(message({ 1 }, 640)));
    PacketPointer packet(av_packet_alloc());
    AVCodecParameters* out = nullptr;
    ASSERT_EQ(decoder.readPacket(packet.get(), &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->width, 320);
    // The caller keeps the pointer in the same variable; the old parameters must not leak.
    ASSERT_EQ(decoder.readPacket(packet.get(), &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->width, 640);
    avcodec_parameters_free(&out);
}

TEST(DecoderTest, QueueIsOrderedByDtsAndLaterMessagesWin)
{
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 20 })));
    decoder.addMessage(bytesOf(message({ 10 })));
    Encoder encoder;
    encoder.setHeader(metadata("main"), parameters(320, "SPS+PPS").get());
    encoder.addPacket(makePacket(20, 99, 0, "replacement").get(), false);
    decoder.addMessage(bytesOf(encoder.takeResult()));
    decoder.addMessage(bytesOf(message({ 10 })));

    Read first = readWithCodec(decoder);
    ASSERT_EQ(first.ret, 0);
    EXPECT_EQ(first.packet->dts, 10);
    Read second = readWithCodec(decoder);
    ASSERT_EQ(second.ret, 0);
    EXPECT_EQ(second.packet->dts, 20);
    EXPECT_EQ(second.packet->pts, 99);
    EXPECT_EQ(payloadOf(second.packet.get()), "replacement");
    EXPECT_EQ(readWithCodec(decoder).ret, AVERROR(EAGAIN));
}

TEST(DecoderTest, MetadataFollowsThePackets)
{
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 0 }, 320, "A", "first")));
    decoder.addMessage(bytesOf(message({ 1 }, 320, "A", "second")));
    EXPECT_EQ(decoder.getMetaData(), metadata("first"));
    ASSERT_EQ(readWithCodec(decoder).ret, 0);
    EXPECT_EQ(decoder.getMetaData(), metadata("second"));
    ASSERT_EQ(readWithCodec(decoder).ret, 0);
    EXPECT_EQ(decoder.getMetaData(), metadata("second"));

    // Metadata that is not JSON still answers, with a null document.
    QByteArray broken = message({ 2 }, 320, "A", "third");
    const qsizetype at = static_cast<qsizetype>(fieldAt(broken, 0, 4));
    broken[at] = '[';
    decoder.addMessage(bytesOf(broken));
    const auto document = decoder.getMetaData();
    ASSERT_TRUE(document.has_value());
    EXPECT_TRUE(document->isNull());

    // The same answers from a message alone, without queueing it.
    EXPECT_EQ(Decoder::metaDataOf(bytesOf(message({ 0 }, 320, "A", "first"))), metadata("first"));
    EXPECT_TRUE(Decoder::metaDataOf(bytesOf(broken)).value_or(metadata("x")).isNull());
    EXPECT_FALSE(Decoder::metaDataOf(bytesOf(broken.left(31))).has_value());
}

TEST(DecoderTest, SenderWithoutHeader)
{
    Encoder encoder;
    encoder.addPacket(makePacket(0, 0, 0, "a").get(), false);
    encoder.addPacket(makePacket(1, 1, 0, "b").get(), true);
    Decoder decoder;
    decoder.addMessage(bytesOf(encoder.takeResult()));
    EXPECT_FALSE(decoder.getMetaData().has_value());

    // No parameters to report, and the marker must not hold the packet back.
    Read first = readWithCodec(decoder);
    ASSERT_EQ(first.ret, 0);
    EXPECT_FALSE(first.parameters);
    Read second = readWithCodec(decoder);
    ASSERT_EQ(second.ret, 0);
    EXPECT_EQ(second.packet->dts, 1);
    EXPECT_FALSE(second.parameters);
    AVCodecParameters* out = nullptr;
    EXPECT_EQ(decoder.getCodec(&out), AVERROR(EAGAIN));
}

TEST(DecoderTest, ExtradataSizeOfTheImageIsBounded)
{
    // extradata_size at offset 24 of the image, which starts at 32 in these messages.
    const struct
    {
        std::uint32_t stated;
        int expected;
    } cases[] = { { 7, 7 }, { 3, 3 }, { 1000, 7 }, { 0x80000000, 0 }, { 0xFFFFFFFF, 0 } };
    for (const auto& c : cases) {
        QByteArray bytes = message({ 0 }, 320, "SPS+PPS");
        setFieldAt(bytes, 32 + 24, 4, c.stated);
        Decoder decoder;
        decoder.addMessage(bytesOf(bytes));
        AVCodecParameters* out = nullptr;
        ASSERT_EQ(decoder.getCodec(&out), 0);
        EXPECT_EQ(out->extradata_size, c.expected) << c.stated;
        EXPECT_EQ(out->extradata == nullptr, c.expected == 0);
        avcodec_parameters_free(&out);
    }
}

TEST(DecoderTest, MovedDecoderKeepsItsQueue)
{
    Decoder first;
    first.addMessage(bytesOf(message({ 4 })));
    Decoder second(std::move(first));
    Decoder third;
    third = std::move(second);
    Read read = readWithCodec(third);
    ASSERT_EQ(read.ret, 0);
    EXPECT_EQ(read.packet->dts, 4);
}

// Damaged messages: each case changes a message of two packets (dts 1 with "one" and two side-data
// items, dts 2 with "two") and states what the decoder must make of it. None may read outside the
// message (the sanitizers check that).
struct Damage
{
    const char* name;
    std::function<void(QByteArray&)> damage;
    int packets;
    QByteArray firstData;
    int firstSideData;
    QByteArray firstSideBytes;
};

void PrintTo(const Damage& damage, std::ostream* out)
{
    *out << damage.name;
}

class DamagedMessageTest : public testing::TestWithParam<Damage>
{
public:
    static QByteArray original()
    {
        Encoder encoder;
        encoder.setHeader(metadata("d"), parameters(320, "X").get());
        encoder.addPacket(makePacket(1, 1, AV_PKT_FLAG_KEY, "one",
                              { { AV_PKT_DATA_PALETTE, "pal" }, { AV_PKT_DATA_AFD, "a" } })
                              .get(),
            false);
        encoder.addPacket(makePacket(2, 2, 0, "two").get(), false);
        return encoder.takeResult();
    }
    static qsizetype table(const QByteArray& m)
    {
        return static_cast<qsizetype>(fieldAt(m, 24, 4));
    }
    static qsizetype sideTable(const QByteArray& m)
    {
        return static_cast<qsizetype>(fieldAt(m, table(m) + 28, 4));
    }
    // Rewrites the packet table with a wider stride.
    static void widenStride(QByteArray& m, int stride)
    {
        const qsizetype at = table(m);
        const QByteArray entries = m.mid(at);
        m.truncate(at);
        for (qsizetype i = 0; i < entries.size() / 36; ++i)
            m.append(entries.mid(36 * i, 36)).append(QByteArray(stride - 36, '\x77'));
        setFieldAt(m, 28, 2, static_cast<std::uint64_t>(stride));
    }
};

TEST_P(DamagedMessageTest, ReadsWhatFits)
{
    QByteArray bytes = original();
    GetParam().damage(bytes);
    Decoder decoder;
    decoder.addMessage(bytesOf(bytes));

    int count = 0;
    for (;;) {
        Read read = readWithCodec(decoder);
        if (read.ret == AVERROR(EAGAIN))
            break;
        ASSERT_EQ(read.ret, 0);
        if (count == 0) {
            EXPECT_EQ(read.packet->dts, 1);
            EXPECT_EQ(read.packet->flags, AV_PKT_FLAG_KEY);
            EXPECT_EQ(payloadOf(read.packet.get()), GetParam().firstData);
            EXPECT_EQ(read.packet->side_data_elems, GetParam().firstSideData);
            if (read.packet->side_data_elems > 0) {
                EXPECT_EQ(sideDataOf(read.packet.get()).first().second, GetParam().firstSideBytes);
            }
        }
        ++count;
    }
    EXPECT_EQ(count, GetParam().packets);
}

INSTANTIATE_TEST_SUITE_P(Format, DamagedMessageTest,
    testing::Values(Damage { "Intact", [](QByteArray&) {}, 2, "one", 2, "pal" },
        Damage { "TableOneByteShort", [](QByteArray& m) { m.chop(1); }, 0, {}, 0, {} },
        Damage { "ShorterThanHeader", [](QByteArray& m) { m.truncate(31); }, 0, {}, 0, {} },
        Damage { "EmptyMessage", [](QByteArray& m) { m.clear(); }, 0, {}, 0, {} },
        Damage { "CountTooLarge", [](QByteArray& m) { setFieldAt(m, 30, 2, 3); }, 0, {}, 0, {} },
        Damage { "TableOffsetHuge", [](QByteArray& m) { setFieldAt(m, 24, 4, 0xFFFFFFF0); }, 0, {},
            0, {} },
        Damage { "StrideShorterThanEntry", [](QByteArray& m) { setFieldAt(m, 28, 2, 35); }, 0, {},
            0, {} },
        Damage { "StrideZero", [](QByteArray& m) { setFieldAt(m, 28, 2, 0); }, 0, {}, 0, {} },
        Damage { "WiderStrideHonoured",
            [](QByteArray& m) { DamagedMessageTest::widenStride(m, 40); }, 2, "one", 2, "pal" },
        Damage { "DataBeyondMessage",
            [](QByteArray& m) { setFieldAt(m, DamagedMessageTest::table(m) + 24, 4, 0x10000); }, 2,
            {}, 2, "pal" },
        Damage { "DataOffsetWraps",
            [](QByteArray& m) { setFieldAt(m, DamagedMessageTest::table(m) + 20, 4, 0xFFFFFFFF); },
            2, {}, 2, "pal" },
        Damage { "SideTableBeyondMessage",
            [](QByteArray& m) { setFieldAt(m, DamagedMessageTest::table(m) + 34, 2, 500); }, 2,
            "one", 0, {} },
        Damage { "SideStrideShort",
            [](QByteArray& m) { setFieldAt(m, DamagedMessageTest::table(m) + 32, 2, 11); }, 2,
            "one", 0, {} },
        Damage { "SideBytesBeyondMessage",
            [](QByteArray& m) {
                setFieldAt(m, DamagedMessageTest::sideTable(m) + 8, 4, 0xFFFFFFFF);
            },
            2, "one", 2, {} },
        Damage { "SideTypeUnknown",
            [](QByteArray& m) { setFieldAt(m, DamagedMessageTest::sideTable(m), 4, 5000); }, 2,
            "one", 1, "a" },
        Damage { "SideTypeNegative",
            [](QByteArray& m) { setFieldAt(m, DamagedMessageTest::sideTable(m), 4, 0xFFFFFFFF); },
            2, "one", 1, "a" },
        Damage { "SameTypeTwice",
            [](QByteArray& m) {
                setFieldAt(m, DamagedMessageTest::sideTable(m) + 12, 4, AV_PKT_DATA_PALETTE);
            },
            2, "one", 1, "a" },
        // A decompression bomb in small: entries that name one range more than once hand out
        // more bytes than the message holds, and the whole message is refused.
        Damage { "EntriesRepeatTheWholeMessage",
            [](QByteArray& m) {
                for (qsizetype entry : { 0, 36 })
                    setFieldAt(m, DamagedMessageTest::table(m) + entry + 20, 8,
                        std::uint64_t(m.size()) << 32);
            },
            0, {}, 0, {} },
        Damage { "HeaderRangesBeyondMessage",
            [](QByteArray& m) {
                for (qsizetype at : { 0, 8, 16 })
                    setFieldAt(m, at + 4, 4, 0xFFFFFF00);
            },
            2, "one", 2, "pal" }),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(DecoderTest, DamagedHeaderRangesGiveEmptyValues)
{
    QByteArray bytes = DamagedMessageTest::original();
    for (qsizetype at : { 0, 8, 16 })
        setFieldAt(bytes, at + 4, 4, 0xFFFFFF00);
    Decoder decoder;
    decoder.addMessage(bytesOf(bytes));
    EXPECT_FALSE(decoder.getMetaData().has_value());
    EXPECT_FALSE(Decoder::metaDataOf(bytesOf(bytes)).has_value());
    AVCodecParameters* out = nullptr;
    EXPECT_EQ(decoder.getCodec(&out), AVERROR(EAGAIN));
}

TEST(DecoderTest, HeaderOnlyMessageQueuesNothing)
{
    QByteArray bytes(32, '\0');
    for (qsizetype at : { 0, 8, 16, 24 })
        setFieldAt(bytes, at, 4, 32);
    setFieldAt(bytes, 28, 2, 36);
    Decoder decoder;
    decoder.addMessage(bytesOf(bytes));
    EXPECT_EQ(readWithCodec(decoder).ret, AVERROR(EAGAIN));
    EXPECT_FALSE(decoder.getMetaData().has_value());

    Encoder encoder;
    EXPECT_EQ(encoder.takeResult(), bytes);
}

// The stored messages seed the fuzzer's corpus; each must still read as stated.
TEST(DecoderTest, StoredMessages)
{
    const struct
    {
        const char* file;
        int packets;
    } cases[] = { { "worked-example.bin", 1 }, { "header-and-side-data.bin", 3 },
        { "table-one-byte-short.bin", 0 }, { "stride-forty.bin", 2 } };
    for (const auto& c : cases) {
        QFile file(QStringLiteral(VESK_TEST_DATA_DIR "/") + c.file);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << c.file;
        Decoder decoder;
        decoder.addMessage(bytesOf(file.readAll()));
        int count = 0;
        while (readWithCodec(decoder).ret == 0)
            ++count;
        EXPECT_EQ(count, c.packets) << c.file;
    }
}

namespace {

// Makes av_malloc refuse larger blocks for the lifetime of the object.
class AllocationLimit
{
public:
    explicit AllocationLimit(std::size_t limit) { av_max_alloc(limit); }
    ~AllocationLimit() { av_max_alloc(INT_MAX); }
};

} // namespace

TEST(DecoderTest, FailedReadKeepsPacketAndChange)
{
    const QByteArray big(5000, 'b');
    Encoder encoder;
    encoder.setHeader(metadata("big"), parameters(320, "X").get());
    encoder.addPacket(makePacket(0, 0, 0, big).get(), false);
    encoder.addPacket(
        makePacket(1, 1, 0, "small", { { AV_PKT_DATA_NEW_EXTRADATA, big } }).get(), true);
    Decoder decoder;
    decoder.addMessage(bytesOf(encoder.takeResult()));

    LogLines log("vesk.decoder");
    for (int packet = 0; packet < 2; ++packet) {
        {
            AllocationLimit limit(4000);
            Read failed = readWithCodec(decoder);
            EXPECT_EQ(failed.ret, AVERROR(ENOMEM));
            EXPECT_FALSE(failed.parameters);
        }
        // The change that the failed call did not deliver comes with the packet.
        Read read = readWithCodec(decoder);
        ASSERT_EQ(read.ret, 0);
        EXPECT_EQ(read.packet->dts, packet);
        EXPECT_TRUE(read.parameters);
    }
    EXPECT_EQ(log.lines(),
        QStringList { QStringLiteral("Невозможно аллоцировать память для нового пакета: ")
            + QString::fromStdString(AvError::errorString(AVERROR(ENOMEM))) });
}

TEST(DecoderTest, ParametersThatCannotBeAllocated)
{
    Decoder decoder;
    decoder.addMessage(bytesOf(message({ 0 }, 320, QByteArray(5000, 'e'))));
    {
        AllocationLimit limit(4000);
        AVCodecParameters* out = nullptr;
        EXPECT_EQ(decoder.getCodec(&out), AVERROR(ENOMEM));
        EXPECT_EQ(out, nullptr);
        Read failed = readWithCodec(decoder);
        EXPECT_EQ(failed.ret, AVERROR(ENOMEM));
    }
    Read read = readWithCodec(decoder);
    ASSERT_EQ(read.ret, 0);
    ASSERT_TRUE(read.parameters);
    EXPECT_EQ(read.parameters->extradata_size, 5000);
}
