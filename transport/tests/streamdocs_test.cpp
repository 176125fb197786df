// The worked examples of docs/stream-protocol.md and docs/message-format.md, read from the
// documents themselves, against our sender, receiver and decoder: a display maker who follows
// the documents gets what our own programs do.
#include "streamtransporttest.h"

#include <vesk/decoder.h>
#include <vesk/encoder.h>
#include <vesk/pointer.h>
#include <vesk/streammetadata.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>

#include <functional>
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

// The register of the example: the worked example's keys, the chains' top keys 20 .. 3f and
// 40 .. 5f, and the messages and times that bring it to the example's datagrams.
struct Example
{
    std::array<unsigned char, 32> key {};
    ssl::SigningKey signer = ssl::SigningKey::fromSeed(bytesOf(
        QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"))
                                                           .first<32>());
    std::uint32_t stream = 0x01020304;
    QByteArray joinAnchor = hexBlock("stream-protocol.md", "join-anchor");
    QByteArray joinKey = hexBlock("stream-protocol.md", "join-key");
    QByteArray anchor = hexBlock("stream-protocol.md", "anchor");
    QByteArray manifest = hexBlock("stream-protocol.md", "manifest");
    QByteArray fragment = hexBlock("stream-protocol.md", "fragment");
    QByteArray disclosure = hexBlock("stream-protocol.md", "key");
    StreamReceiver::Clock::time_point joined { std::chrono::seconds(100) };

    Example() { std::iota(key.begin(), key.end(), 0); }

    static StreamSealer::RandomSource tops()
    {
        return [first = std::uint8_t(0x20)](std::span<std::uint8_t> out) mutable {
            std::iota(out.begin(), out.end(), first);
            first += 0x20;
        };
    }

    // Our display's time when the register's clock reads `at` (no delay on the way).
    StreamReceiver::Clock::time_point at(std::chrono::milliseconds clock) const
    {
        return joined + (clock - 538950ms);
    }

    // A receiver that joined when "clock" was `clock`, with "anchor" and "key" of the example.
    std::unique_ptr<StreamReceiver> receiver(std::chrono::milliseconds clock = 538950ms) const
    {
        StreamReceiver::Limits limits;
        limits.maxMessageBytes = 8 * 1024 * 1024;
        auto receiver = std::make_unique<StreamReceiver>(stream, key, signer.publicKey(), limits);
        EXPECT_EQ(receiver->join({ clock, at(clock), at(clock), joinAnchor, {}, joinKey }),
            StreamReceiver::JoinError::none);
        return receiver;
    }
};

const std::pair<const char*, std::uint64_t Counters::*> causes[]
    = { { "accepted", &Counters::accepted }, { "other version", &Counters::otherVersion },
          { "malformed", &Counters::malformed }, { "other stream", &Counters::otherStream },
          { "oversized", &Counters::oversized }, { "future", &Counters::future },
          { "unsafe", &Counters::unsafe }, { "unanchored", &Counters::unanchored },
          { "late", &Counters::late }, { "replayed", &Counters::replayed },
          { "forged", &Counters::forged }, { "unsealed", &Counters::unsealed },
          { "inconsistent", &Counters::inconsistent }, { "unchecked", &Counters::unchecked },
          { "unclaimed", &Counters::unclaimed }, { "crowded out", &Counters::crowded } };

// What is fed, and when by the register's clock.
using Timeline = std::vector<std::pair<std::chrono::milliseconds, QByteArray>>;

Counters run(const Example& example, const Timeline& timeline)
{
    auto receiver = example.receiver();
    for (const auto& [clock, datagram] : timeline)
        receiver->addDatagram(bytesOf(datagram), 1, example.at(clock));
    receiver->finish();
    return receiver->counters();
}

// The cause one datagram of `with` was counted under: the one count in which the run differs
// from the run `without` it.
const char* verdictOf(const Example& example, const Timeline& with, const Counters& without)
{
    const Counters a = run(example, with);
    const Counters& b = without;
    const char* verdict = "nothing";
    for (const auto& [name, cause] : causes)
        if (a.*cause != b.*cause)
            verdict = a.*cause == b.*cause + 1 && verdict == std::string_view("nothing")
                ? name
                : "more than one cause";
    return verdict;
}

QByteArray flipped(QByteArray datagram, std::size_t byte, unsigned bit)
{
    datagram[qsizetype(byte)] = char(datagram[qsizetype(byte)] ^ (1 << bit));
    return datagram;
}

// The rules of the document's list of verdicts, field by field.
const char* countVerdict(unsigned bit)
{
    const std::uint32_t count = 1u ^ (1u << bit);
    return count == 0 ? "malformed" : count * 1200ull > 8 * 1024 * 1024 ? "oversized" : "forged";
}

// A manifest or anchor sent at `sent`, arriving when the register's clock reads 540000.
const char* timeVerdict(std::uint64_t sent)
{
    const std::uint64_t interval = sent / 100;
    return interval > 5400 ? "future" : interval + 3 <= 5400 ? "unsafe" : "forged";
}

// Bytes 0 to 7 of every kind: version, kind, the two bytes after it, stream identifier.
const char* commonVerdict(std::size_t byte)
{
    return byte == 0 ? "other version"
        : byte <= 3  ? "malformed"
        : byte <= 7  ? "other stream"
                     : nullptr;
}

const char* manifestVerdict(std::size_t byte, unsigned bit)
{
    if (byte <= 7)
        return commonVerdict(byte);
    if (byte == 22 || byte == 23)
        return "malformed";
    if (byte == 20 || byte == 21)
        return countVerdict(8 * unsigned(byte - 20) + bit);
    if (byte >= 24 && byte <= 31)
        return timeVerdict(540000ull ^ (1ull << (8 * (byte - 24) + bit)));
    return "forged";
}

const char* fragmentVerdict(std::size_t byte, unsigned bit)
{
    if (byte <= 7)
        return commonVerdict(byte);
    if (byte >= 16 && byte <= 19)
        return "unclaimed";
    if (byte == 20 || byte == 21)
        return countVerdict(8 * unsigned(byte - 20) + bit);
    return "forged";
}

const char* keyVerdict(const QByteArray& key, std::size_t byte, unsigned bit)
{
    if (byte == 1 && bit == 0) {
        // Kind 2: read as a fragment of the count that bytes 20 and 21 give.
        const unsigned count = std::uint8_t(key[20]) | unsigned(std::uint8_t(key[21])) << 8;
        return count == 0                       ? "malformed"
            : count * 1200ull > 8 * 1024 * 1024 ? "oversized"
                                                : "unclaimed";
    }
    if (byte <= 7)
        return commonVerdict(byte);
    if (byte >= 8 && byte <= 11)
        return "unanchored";
    if (byte >= 12 && byte <= 19) {
        const std::uint64_t interval = 5400ull ^ (1ull << (8 * (byte - 12) + bit));
        return interval >= 6000 ? "forged"
            : interval > 5400   ? "future"
            : interval < 5386   ? "late"
                                : "forged";
    }
    return "forged";
}

const char* anchorVerdict(std::size_t byte, unsigned bit)
{
    if (byte <= 7)
        return commonVerdict(byte);
    if (byte == 19 && bit == 7)
        return "malformed";
    if (byte >= 24 && byte <= 27)
        return "inconsistent";
    if (byte >= 124 && byte <= 131) {
        const std::uint64_t sent = 540000ull ^ (1ull << (8 * (byte - 124) + bit));
        // Beyond chain 0 only the signature can tell, and it holds.
        return sent / 100 >= 6000 ? "accepted" : timeVerdict(sent);
    }
    return "forged";
}

} // namespace

TEST(StreamProtocolDocument, OurSenderWritesTheWorkedExample)
{
    const Example example;
    EXPECT_EQ(
        QByteArray(reinterpret_cast<const char*>(example.signer.publicKey().data()), 32).toBase64(),
        "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
    // Counter 5 and sequence 2: two messages of five datagrams before it.
    StreamSealer sealer(
        example.stream, example.key, example.signer, StreamSealer::Schedule(), Example::tops());
    sealer.seal("a", 1000ms);
    sealer.seal(QByteArray(1201, 'b'), 2000ms);
    EXPECT_EQ(sealer.disclose(538900ms), QList<QByteArray>({ example.joinKey }));
    const StreamSealer::Joining joining = sealer.joining(538950ms);
    EXPECT_EQ(joining.anchor, example.joinAnchor);
    EXPECT_EQ(joining.key, example.joinKey);
    EXPECT_EQ(joining.next, QByteArray());
    EXPECT_EQ(sealer.disclose(540000ms).last(), example.anchor);
    EXPECT_EQ(
        sealer.seal("vesk", 540000ms), QList<QByteArray>({ example.manifest, example.fragment }));
    EXPECT_EQ(sealer.disclose(540300ms), QList<QByteArray>({ example.disclosure }));
    EXPECT_EQ(sealer.joining(540300ms).next, example.anchor.first(124));
}

TEST(StreamProtocolDocument, EveryVerdictOfTheWorkedExample)
{
    const Example example;
    const auto at = [](std::chrono::milliseconds clock, const QByteArray& datagram) {
        return std::pair(clock, datagram);
    };
    const Timeline whole { at(540000ms, example.anchor), at(540000ms, example.manifest),
        at(540000ms, example.fragment), at(540300ms, example.disclosure) };
    // In any order before the key, each twice: all four taken, the key completes "vesk" and
    // holds chain 1; each copy is replayed.
    std::array<std::size_t, 3> order { 0, 1, 2 };
    do {
        Timeline twice;
        for (const std::size_t i : order)
            twice.insert(twice.end(), 2, whole[i]);
        twice.insert(twice.end(), 2, whole[3]);
        auto receiver = example.receiver();
        QList<QByteArray> out;
        for (const auto& [clock, datagram] : twice)
            out += receiver->addDatagram(bytesOf(datagram), 1, example.at(clock));
        EXPECT_EQ(out, QList<QByteArray>({ "vesk" })) << order[0] << order[1];
        EXPECT_EQ(receiver->counters().accepted, 4u) << order[0] << order[1];
        EXPECT_EQ(receiver->counters().replayed, 4u) << order[0] << order[1];
        EXPECT_FALSE(receiver->wantsJoin(example.at(540300ms))) << "chain 1 held";
    } while (std::ranges::next_permutation(order).found);
    const Counters keyOnly = run(example, { whole[3] });
    EXPECT_STREQ(
        verdictOf(example, { at(540300ms, example.manifest), whole[3] }, keyOnly), "unsafe");
    EXPECT_STREQ(
        verdictOf(example, { at(539990ms, example.manifest), whole[3] }, keyOnly), "future");
    EXPECT_STREQ(
        verdictOf(example, { at(540200ms, example.disclosure) }, run(example, {})), "future");
    // The manifest MACed under any other chain.
    const Forger other { example.key, detail::KeyChain(0, 0, 6000, { 7 }) };
    StreamDatagram header = *StreamDatagram::read(bytesOf(example.manifest));
    EXPECT_STREQ(
        verdictOf(example, { at(540000ms, other.manifest(header, { example.fragment })), whole[3] },
            keyOnly),
        "forged");

    // Each bit of each datagram in turn, among the others the document names, against the run
    // without it.
    const struct
    {
        const char* name;
        const QByteArray& datagram;
        std::chrono::milliseconds when;
        Timeline others;
        std::size_t place;
        std::function<const char*(std::size_t, unsigned)> rule;
    } flips[] = {
        { "manifest", example.manifest, 540000ms, { whole[3] }, 0, manifestVerdict },
        { "fragment", example.fragment, 540000ms, { whole[1], whole[3] }, 1, fragmentVerdict },
        { "key", example.disclosure, 540300ms, { whole[0], whole[1], whole[2] }, 3,
            [&](std::size_t byte, unsigned bit) {
                return keyVerdict(example.disclosure, byte, bit);
            } },
        { "anchor", example.anchor, 540000ms, { whole[3] }, 0, anchorVerdict },
    };
    for (const auto& flip : flips) {
        const Counters without = run(example, flip.others);
        for (std::size_t byte = 0; byte < std::size_t(flip.datagram.size()); ++byte)
            for (unsigned bit = 0; bit < 8; ++bit) {
                Timeline with = flip.others;
                with.insert(with.begin() + qsizetype(flip.place),
                    at(flip.when, flipped(flip.datagram, byte, bit)));
                EXPECT_STREQ(verdictOf(example, with, without), flip.rule(byte, bit))
                    << flip.name << " byte " << byte << " bit " << bit;
            }
    }

    // A display that joined late enough to have the key out already by its bound.
    for (const auto& [clock, verdict] :
        { std::pair(540298ms, "accepted"), std::pair(540299ms, "unsafe") }) {
        auto receiver = example.receiver(clock);
        receiver->addDatagram(bytesOf(example.manifest), 1, example.at(clock));
        EXPECT_EQ(receiver->waiting() == 1 ? "accepted" : "unsafe", std::string_view(verdict))
            << clock.count();
    }
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

// What our encoder writes for the same parameters, metadata and packets, the metadata read and
// written again as the engine writes it.
QByteArray encode(const Decoded& decoded)
{
    const std::optional<StreamMetadata> metadata
        = StreamMetadata::fromJson(QJsonDocument(decoded.metadata));
    EXPECT_TRUE(metadata);
    Encoder encoder;
    encoder.setHeader(metadata.value_or(StreamMetadata()).toJson(), decoded.parameters.get());
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
