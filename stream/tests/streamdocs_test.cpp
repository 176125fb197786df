// The worked examples of docs/stream-protocol.md and docs/message-format.md, read from the
// documents themselves, against our sender, receiver and decoder: a display maker who follows
// the documents gets what our own programs do.
#include "streamtransporttest.h"

#include <vesk/decoder.h>
#include <vesk/pointer.h>

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
