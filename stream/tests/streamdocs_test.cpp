// The worked examples of docs/stream-protocol.md and docs/message-format.md, read from the
// documents themselves, against our sender, receiver and decoder: a display maker who follows
// the documents gets what our own programs do.
#include "streamtransporttest.h"

#include <vesk/decoder.h>
#include <vesk/encoder.h>
#include <vesk/pointer.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>

#include <numeric>

using namespace vesk;
using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

using Counters = StreamReceiver::Counters;

// The bytes of the fenced block "```hex <name>" of a document.
QByteArray hexBlock(const char* document, const char* name)
{
    QFile file(QStringLiteral(VESK_DOCS_DIR "/") + QLatin1String(document));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << document;
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpression block(QStringLiteral("```hex %1\\n(.*?)```").arg(name),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = block.match(text);
    EXPECT_TRUE(match.hasMatch()) << document << " has no block " << name;
    QString hex = match.captured(1);
    hex.remove(QRegularExpression("\\s"));
    return QByteArray::fromHex(hex.toLatin1());
}

struct Example
{
    std::array<unsigned char, 32> key {};
    ssl::SigningKey signer = ssl::SigningKey::fromSeed(bytesOf(
        QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"))
                                                           .first<32>());
    std::uint32_t stream = 0x01020304;
    QByteArray manifest = hexBlock("stream-protocol.md", "manifest");
    QByteArray fragment = hexBlock("stream-protocol.md", "fragment");

    Example() { std::iota(key.begin(), key.end(), 0); }

    std::unique_ptr<StreamReceiver> receiver(std::chrono::milliseconds joined = 60000ms) const
    {
        StreamReceiver::Limits limits;
        limits.maxMessageBytes = 8 * 1024 * 1024;
        limits.joinSlack = 1000ms;
        return std::make_unique<StreamReceiver>(stream, key, signer.publicKey(), joined, limits);
    }
};

// The cause a datagram was counted under, once the fragments that wait have had their time.
const char* verdictOf(StreamReceiver& receiver, const QByteArray& datagram)
{
    const Counters before = receiver.counters();
    const auto now = StreamReceiver::Clock::now();
    const bool message = receiver.addDatagram(bytesOf(datagram), now).has_value();
    receiver.expire(now + 1s);
    const Counters& after = receiver.counters();
    const std::pair<const char*, std::uint64_t Counters::*> causes[]
        = { { "accepted", &Counters::accepted }, { "other version", &Counters::otherVersion },
              { "malformed", &Counters::malformed }, { "other stream", &Counters::otherStream },
              { "oversized", &Counters::oversized }, { "before join", &Counters::beforeJoin },
              { "replayed", &Counters::replayed }, { "forged", &Counters::forged },
              { "unsealed", &Counters::unsealed }, { "inconsistent", &Counters::inconsistent },
              { "unclaimed", &Counters::unclaimed } };
    const char* verdict = "nothing";
    for (const auto& [name, cause] : causes)
        if (after.*cause != before.*cause)
            verdict = verdict == std::string_view("nothing") ? name : "more than one cause";
    return message && verdict == std::string_view("accepted") ? "message" : verdict;
}

// The rules of the document's list of verdicts, field by field.
const char* countVerdict(unsigned bit)
{
    const std::uint32_t count = 1u ^ (1u << bit);
    return count == 0 ? "malformed" : count * 1200ull > 8 * 1024 * 1024 ? "oversized" : "forged";
}

const char* manifestVerdict(std::size_t byte, unsigned bit)
{
    if (byte == 0)
        return "other version";
    if (byte == 1 || byte == 2 || byte == 3 || byte == 22 || byte == 23)
        return "malformed";
    if (byte >= 4 && byte <= 7)
        return "other stream";
    if (byte == 20 || byte == 21)
        return countVerdict(8 * unsigned(byte - 20) + bit);
    if (byte >= 24 && byte <= 31) {
        const std::uint64_t sent = 90000ull ^ (1ull << (8 * (byte - 24) + bit));
        return sent + 1000 < 60000 ? "before join" : "forged";
    }
    return "forged";
}

const char* fragmentVerdict(std::size_t byte, unsigned bit)
{
    if (byte == 0)
        return "other version";
    if (byte >= 1 && byte <= 3)
        return "malformed";
    if (byte >= 4 && byte <= 7)
        return "other stream";
    if (byte >= 16 && byte <= 19)
        return "unclaimed";
    if (byte == 20 || byte == 21)
        return countVerdict(8 * unsigned(byte - 20) + bit);
    return "forged";
}

QByteArray flipped(QByteArray datagram, std::size_t byte, unsigned bit)
{
    datagram[qsizetype(byte)] = char(datagram[qsizetype(byte)] ^ (1 << bit));
    return datagram;
}

} // namespace

TEST(StreamProtocolDocument, OurSenderWritesTheWorkedExample)
{
    const Example example;
    ASSERT_EQ(example.manifest.size(), 112);
    ASSERT_EQ(example.fragment.size(), 42);
    EXPECT_EQ(
        QByteArray(reinterpret_cast<const char*>(example.signer.publicKey().data()), 32).toBase64(),
        "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
    // Counter 5 and sequence 2: two messages of five datagrams before it.
    StreamSealer sealer(example.stream, example.key, example.signer);
    sealer.seal("a", 1000ms);
    sealer.seal(QByteArray(1201, 'b'), 2000ms);
    EXPECT_EQ(
        sealer.seal("vesk", 90000ms), QList<QByteArray>({ example.manifest, example.fragment }));
}

TEST(StreamProtocolDocument, EveryVerdictOfTheWorkedExample)
{
    const Example example;
    for (const bool manifestFirst : { true, false }) {
        auto receiver = example.receiver();
        const QByteArray first = manifestFirst ? example.manifest : example.fragment;
        const QByteArray second = manifestFirst ? example.fragment : example.manifest;
        EXPECT_EQ(receiver->addDatagram(bytesOf(first)), std::nullopt);
        EXPECT_EQ(receiver->addDatagram(bytesOf(second)), QByteArray("vesk"));
        EXPECT_STREQ(verdictOf(*receiver, example.manifest), "replayed");
        EXPECT_STREQ(verdictOf(*receiver, example.fragment), "replayed");
    }
    for (std::size_t byte = 0; byte < std::size_t(example.manifest.size()); ++byte)
        for (unsigned bit = 0; bit < 8; ++bit)
            EXPECT_STREQ(verdictOf(*example.receiver(), flipped(example.manifest, byte, bit)),
                manifestVerdict(byte, bit))
                << "manifest byte " << byte << " bit " << bit;
    for (std::size_t byte = 0; byte < std::size_t(example.fragment.size()); ++byte)
        for (unsigned bit = 0; bit < 8; ++bit) {
            auto receiver = example.receiver();
            ASSERT_STREQ(verdictOf(*receiver, example.manifest), "accepted");
            EXPECT_STREQ(verdictOf(*receiver, flipped(example.fragment, byte, bit)),
                fragmentVerdict(byte, bit))
                << "fragment byte " << byte << " bit " << bit;
        }

    const ssl::SigningKey other = ssl::SigningKey::generate();
    StreamSealer impostor(example.stream, example.key, other);
    impostor.seal("a", 1000ms);
    impostor.seal(QByteArray(1201, 'b'), 2000ms);
    EXPECT_STREQ(verdictOf(*example.receiver(), impostor.seal("vesk", 90000ms).front()), "forged");
    EXPECT_STREQ(verdictOf(*example.receiver(91001ms), example.manifest), "before join");
    EXPECT_STREQ(verdictOf(*example.receiver(91000ms), example.manifest), "accepted");
}

namespace {

struct Decoded
{
    CodecParametersPointer parameters;
    QJsonObject metadata;
    std::vector<PacketPointer> packets;
    std::vector<bool> codecChanges;
};

Decoded decode(const QByteArray& message)
{
    Decoded decoded;
    Decoder decoder;
    decoder.addMessage(bytesOf(message));
    decoded.metadata = decoder.getMetaData().value_or(QJsonDocument()).object();
    while (true) {
        PacketPointer packet(av_packet_alloc());
        AVCodecParameters* parameters = nullptr;
        if (decoder.readPacket(packet.get(), &parameters) != 0)
            break;
        decoded.codecChanges.push_back(parameters != nullptr);
        if (parameters)
            decoded.parameters.reset(parameters);
        decoded.packets.push_back(std::move(packet));
    }
    return decoded;
}

// What our encoder writes for the same parameters, metadata and packets.
QByteArray encode(const Decoded& decoded)
{
    Encoder encoder;
    encoder.setHeader(QJsonDocument(decoded.metadata), decoded.parameters.get());
    for (std::size_t i = 0; i < decoded.packets.size(); ++i)
        encoder.addPacket(decoded.packets[i].get(), decoded.codecChanges[i]);
    return encoder.takeResult();
}

QByteArray bytesAt(const std::uint8_t* data, int size)
{
    return QByteArray(reinterpret_cast<const char*>(data), size);
}

} // namespace

TEST(MessageFormatDocument, TheVideoExampleDecodesAsDescribed)
{
    const QByteArray message = hexBlock("message-format.md", "message-video");
    ASSERT_EQ(message.size(), 554);
    const Decoded decoded = decode(message);
    ASSERT_TRUE(decoded.parameters);
    const AVCodecParameters& p = *decoded.parameters;
    EXPECT_EQ(p.codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(p.codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(p.codec_tag, MKTAG('a', 'v', 'c', '1'));
    EXPECT_EQ(p.format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(p.bit_rate, 3200);
    EXPECT_EQ(p.profile, FF_PROFILE_H264_CONSTRAINED_BASELINE);
    EXPECT_EQ(p.level, 10);
    EXPECT_EQ(p.width, 16);
    EXPECT_EQ(p.height, 16);
    EXPECT_EQ(p.field_order, AV_FIELD_PROGRESSIVE);
    EXPECT_EQ(p.color_primaries, AVCOL_PRI_UNSPECIFIED);
    EXPECT_EQ(p.chroma_location, AVCHROMA_LOC_LEFT);
    EXPECT_EQ(bytesAt(p.extradata, p.extradata_size).toHex(),
        "0142c00affe100156742c00ada7b011000000300100000030320f1226a01000468ce0fc8");
    EXPECT_EQ(decoded.metadata.value("timeBase"), "1/12800");
    EXPECT_EQ(decoded.metadata.value("url"), "clips/red.mp4");
    EXPECT_EQ(decoded.metadata.value("placeholder"), false);
    EXPECT_EQ(decoded.metadata.value("track"), "video");

    ASSERT_EQ(decoded.packets.size(), 2u);
    EXPECT_EQ(decoded.codecChanges, std::vector<bool>({ true, false }));
    const AVPacket& key = *decoded.packets[0];
    EXPECT_EQ(std::pair(key.pts, key.dts), std::pair(std::int64_t(0), std::int64_t(0)));
    EXPECT_EQ(key.flags, AV_PKT_FLAG_KEY);
    EXPECT_EQ(
        bytesAt(key.data, key.size).toHex(), "000000136588843a118a000218f1c00040f63800087960");
    EXPECT_EQ(key.side_data_elems, 0);
    const AVPacket& next = *decoded.packets[1];
    EXPECT_EQ(std::pair(next.pts, next.dts), std::pair(std::int64_t(512), std::int64_t(512)));
    EXPECT_EQ(next.flags, 0);
    EXPECT_EQ(bytesAt(next.data, next.size).toHex(), "00000005419a202694");

    EXPECT_EQ(encode(decoded), message);
}

TEST(MessageFormatDocument, TheAudioExampleDecodesAsDescribed)
{
    const QByteArray message = hexBlock("message-format.md", "message-audio");
    ASSERT_EQ(message.size(), 480);
    const Decoded decoded = decode(message);
    ASSERT_TRUE(decoded.parameters);
    const AVCodecParameters& p = *decoded.parameters;
    EXPECT_EQ(p.codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(p.codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(p.format, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(p.profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(p.sample_rate, 48000);
    EXPECT_EQ(p.frame_size, 1024);
    EXPECT_EQ(p.ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
    EXPECT_EQ(p.ch_layout.nb_channels, 2);
    EXPECT_EQ(p.ch_layout.u.mask, AV_CH_LAYOUT_STEREO);
    EXPECT_EQ(bytesAt(p.extradata, p.extradata_size).toHex(), "1190");
    EXPECT_EQ(decoded.metadata.value("timeBase"), "1/48000");
    EXPECT_EQ(decoded.metadata.value("track"), "audio");

    ASSERT_EQ(decoded.packets.size(), 1u);
    const AVPacket& packet = *decoded.packets[0];
    EXPECT_EQ(
        std::pair(packet.pts, packet.dts), std::pair(std::int64_t(-1024), std::int64_t(-1024)));
    EXPECT_EQ(packet.flags, AV_PKT_FLAG_KEY | AV_PKT_FLAG_DISCARD);
    EXPECT_EQ(bytesAt(packet.data, packet.size).toHex(), "211004608c1c");
    ASSERT_EQ(packet.side_data_elems, 1);
    EXPECT_EQ(packet.side_data[0].type, AV_PKT_DATA_SKIP_SAMPLES);
    EXPECT_EQ(bytesAt(packet.side_data[0].data, int(packet.side_data[0].size)).toHex(),
        "00040000000000000000");

    EXPECT_EQ(encode(decoded), message);
}
