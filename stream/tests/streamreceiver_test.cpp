#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>
#include <vesk/streamsealer.h>

#include <gtest/gtest.h>

#include <QtEndian>

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <vector>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t streamId = 0x1234ABCD;

std::array<unsigned char, 32> makeKey(unsigned char seed)
{
    std::array<unsigned char, 32> key {};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<unsigned char>(seed + 7 * i);
    return key;
}

QByteArray makeMessage(qsizetype size, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray message(size, Qt::Uninitialized);
    for (char& c : message)
        c = char(random());
    return message;
}

std::span<const std::uint8_t> bytesOf(const QByteArray& datagram)
{
    return { reinterpret_cast<const std::uint8_t*>(datagram.constData()),
        std::size_t(datagram.size()) };
}

// A datagram made by hand, as anybody who knows the stream key can: any counter, any signer.
QByteArray forge(std::span<const unsigned char, 32> key, const ssl::SigningKey& signer,
    std::uint64_t counter, const QByteArray& payload)
{
    StreamDatagram header;
    header.streamId = streamId;
    header.counter = counter;
    header.count = 1;
    QByteArray datagram;
    header.write(datagram);
    datagram.resize(qsizetype(StreamDatagram::overhead) + payload.size());
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
    ssl::AesGcm(key).encrypt(out.first<12>(), out.first(20), bytesOf(payload), out.data() + 20,
        out.subspan(20 + std::size_t(payload.size())).first<16>());
    signer.sign(StreamDatagram::signedPart(out), out.last<64>());
    return datagram;
}

class StreamTransport : public ::testing::Test
{
protected:
    std::array<unsigned char, 32> key = makeKey(1);
    ssl::SigningKey signer = ssl::SigningKey::generate();
    std::array<std::uint8_t, 32> signerKey = signer.publicKey();
    StreamSealer sealer { streamId, key, signer };
    StreamReceiver::Clock::time_point now { std::chrono::seconds(1000) };

    std::vector<QByteArray> feed(StreamReceiver& receiver, const QList<QByteArray>& datagrams)
    {
        std::vector<QByteArray> messages;
        for (const QByteArray& datagram : datagrams)
            if (auto message = receiver.addDatagram(bytesOf(datagram), now))
                messages.push_back(*message);
        return messages;
    }
};

} // namespace

TEST_F(StreamTransport, FragmentsRespectThePayloadLimitAndCarryTheirHeader)
{
    const QByteArray message = makeMessage(3 * 1200 + 1, 1);
    const QList<QByteArray> datagrams = sealer.seal(message);
    ASSERT_EQ(datagrams.size(), 4);
    for (qsizetype i = 0; i < datagrams.size(); ++i) {
        const auto header = StreamDatagram::read(bytesOf(datagrams[i]));
        ASSERT_TRUE(header);
        EXPECT_EQ(header->streamId, streamId);
        EXPECT_EQ(header->sequence, 0u);
        EXPECT_EQ(header->index, i);
        EXPECT_EQ(header->count, 4);
        EXPECT_EQ(header->counter, std::uint64_t(i));
        EXPECT_LE(std::size_t(datagrams[i].size()), StreamDatagram::maxSize);
    }
    EXPECT_EQ(datagrams.back().size(), 20 + 1 + 16 + 64);
    // The plaintext must not show through.
    EXPECT_FALSE(datagrams[0].contains(message.left(32)));

    // The next message continues both numbers: an IV is never used twice.
    const QList<QByteArray> next = sealer.seal(QByteArray("x"));
    ASSERT_EQ(next.size(), 1);
    EXPECT_EQ(StreamDatagram::read(bytesOf(next[0]))->counter, 4u);
    EXPECT_EQ(StreamDatagram::read(bytesOf(next[0]))->sequence, 1u);
}

TEST_F(StreamTransport, RoundTripOfSizesAroundTheFragmentBoundary)
{
    StreamReceiver receiver(streamId, key, signerKey);
    for (qsizetype size : { 0, 1, 1199, 1200, 1201, 2400, 2401, 100000 }) {
        const QByteArray message = makeMessage(size, unsigned(size));
        const auto received = feed(receiver, sealer.seal(message));
        ASSERT_EQ(received.size(), 1u) << size;
        EXPECT_EQ(received[0], message) << size;
    }
    EXPECT_EQ(receiver.pendingMessages(), 0u);
    EXPECT_EQ(receiver.pendingBytes(), 0u);
}

TEST_F(StreamTransport, TamperedDatagramsAreRejected)
{
    const QByteArray message = makeMessage(500, 2);
    const QByteArray original = sealer.seal(message).front();
    // Every byte matters: header (additional data and IV), ciphertext and tag.
    for (qsizetype position :
        std::initializer_list<qsizetype> { 0, 4, 11, 12, 16, 18, 20, 300, original.size() - 1 }) {
        StreamReceiver receiver(streamId, key, signerKey);
        QByteArray tampered = original;
        tampered[position] = char(tampered[position] ^ 0x01);
        EXPECT_FALSE(receiver.addDatagram(bytesOf(tampered), now)) << position;
        EXPECT_EQ(receiver.counters().accepted, 0u) << position;
        // The genuine datagram still passes afterwards: a forgery must not burn its counter.
        const auto genuine = receiver.addDatagram(bytesOf(original), now);
        ASSERT_TRUE(genuine) << position;
        EXPECT_EQ(*genuine, message);
    }

    StreamReceiver wrongKey(streamId, makeKey(2), signerKey);
    EXPECT_FALSE(wrongKey.addDatagram(bytesOf(original), now));
    StreamReceiver otherStream(streamId + 1, key, signerKey);
    EXPECT_FALSE(otherStream.addDatagram(bytesOf(original), now));
    StreamReceiver receiver(streamId, key, signerKey);
    EXPECT_FALSE(receiver.addDatagram(bytesOf(original.left(original.size() - 1)), now));
    EXPECT_FALSE(receiver.addDatagram(bytesOf(original.left(99)), now));
    EXPECT_EQ(receiver.counters().rejected(), 2u);
}

// What an attacker on the shop network can send. Each hostile datagram is dropped under its cause
// before it changes anything: the genuine datagrams around it still come through.
TEST_F(StreamTransport, HostileDatagramsChangeNothing)
{
    using Counters = StreamReceiver::Counters;
    const ssl::SigningKey intruder = ssl::SigningKey::generate();
    const auto top = std::numeric_limits<std::uint64_t>::max();
    const auto otherKey = makeKey(9);
    struct Case
    {
        const char* name;
        std::function<QByteArray()> make;
        std::uint64_t Counters::*cause;
    };
    const Case cases[] = {
        { "sealed with the stream key, signed by another key",
            [&] { return forge(key, intruder, 5, "pictures of someone else"); },
            &Counters::forged },
        { "counter 2^64-1, signed by another key", [&] { return forge(key, intruder, top, "x"); },
            &Counters::forged },
        { "the register's datagram, counter changed to 2^64-1",
            [&] {
                QByteArray d = forge(key, signer, 5, "x");
                qToLittleEndian<std::uint64_t>(top, d.data() + 4);
                return d;
            },
            &Counters::forged },
        { "the register's datagram, signature cut off",
            [&] { return forge(key, signer, 5, QByteArray(300, 'x')).chopped(64); },
            &Counters::forged },
        { "signed by the register, sealed under another key",
            [&] { return forge(otherKey, signer, 5, "x"); }, &Counters::unsealed },
        { "another stream",
            [&] {
                QByteArray d = forge(key, signer, 5, "x");
                qToLittleEndian<std::uint32_t>(streamId + 1, d.data());
                return d;
            },
            &Counters::otherStream },
        { "a fragment of a message beyond the size limit",
            [&] { return StreamSealer(streamId, key, intruder).seal(makeMessage(40000, 1))[0]; },
            &Counters::oversized },
        { "shorter than header, tag and signature", [&] { return QByteArray(99, 'x'); },
            &Counters::malformed },
        { "a replay of the datagram before", [&] { return forge(key, signer, 2, "x"); },
            &Counters::replayed },
    };
    StreamReceiver::Limits limits;
    limits.maxMessageBytes = 16 * 1200;
    for (const Case& c : cases) {
        StreamReceiver receiver(streamId, key, signerKey, limits);
        ASSERT_TRUE(receiver.addDatagram(bytesOf(forge(key, signer, 2, "before")), now)) << c.name;
        EXPECT_FALSE(receiver.addDatagram(bytesOf(c.make()), now)) << c.name;
        EXPECT_EQ(receiver.counters().*c.cause, 1u) << c.name;
        EXPECT_EQ(receiver.counters().accepted, 1u) << c.name;
        EXPECT_EQ(receiver.pendingMessages(), 0u) << c.name;
        const auto after = receiver.addDatagram(bytesOf(forge(key, signer, 3, "after")), now);
        ASSERT_TRUE(after) << c.name;
        EXPECT_EQ(*after, "after") << c.name;
    }
}

TEST_F(StreamTransport, DuplicatedAndReorderedFragmentsStillAssemble)
{
    StreamReceiver receiver(streamId, key, signerKey);
    std::vector<QByteArray> messages;
    QList<QByteArray> datagrams;
    for (unsigned i = 0; i < 5; ++i) {
        messages.push_back(makeMessage(qsizetype(1000 + 1500 * i), i));
        datagrams += sealer.seal(messages.back());
    }
    QList<QByteArray> shuffled = datagrams + datagrams.mid(2, 4) + datagrams.mid(0, 1);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));

    auto received = feed(receiver, shuffled);
    // Each message exactly once, whatever the order and the copies.
    ASSERT_EQ(received.size(), messages.size());
    std::sort(received.begin(), received.end());
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(received, messages);
    EXPECT_EQ(receiver.counters().replayed, 5u);
    EXPECT_EQ(receiver.pendingMessages(), 0u);

    // A replay after completion yields nothing either.
    EXPECT_TRUE(feed(receiver, datagrams).empty());
}

TEST_F(StreamTransport, ALostFragmentDropsOnlyItsMessage)
{
    StreamReceiver::Limits limits;
    limits.timeout = 500ms;
    StreamReceiver receiver(streamId, key, signerKey, limits);
    const QByteArray first = makeMessage(5000, 1);
    const QByteArray second = makeMessage(5000, 2);
    const QByteArray third = makeMessage(5000, 3);
    QList<QByteArray> datagrams = sealer.seal(first);
    QList<QByteArray> lossy = sealer.seal(second);
    lossy.removeAt(2);
    datagrams += lossy;
    datagrams += sealer.seal(third);

    const auto received = feed(receiver, datagrams);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], first);
    EXPECT_EQ(received[1], third);
    EXPECT_EQ(receiver.pendingMessages(), 1u);
    EXPECT_EQ(receiver.pendingBytes(), 5000u - 1200);

    receiver.expire(now + 499ms);
    EXPECT_EQ(receiver.pendingMessages(), 1u);
    receiver.expire(now + 500ms);
    EXPECT_EQ(receiver.pendingMessages(), 0u);
    EXPECT_EQ(receiver.pendingBytes(), 0u);
    EXPECT_EQ(receiver.counters().dropped, 1u);
}

TEST_F(StreamTransport, IncompleteMessagesStayWithinTheLimits)
{
    StreamReceiver::Limits limits;
    limits.maxPendingMessages = 3;
    limits.maxPendingBytes = 5 * 1200;
    StreamReceiver receiver(streamId, key, signerKey, limits);
    // Ten messages with their last fragment lost: only the newest ones are held.
    for (unsigned i = 0; i < 10; ++i) {
        QList<QByteArray> datagrams = sealer.seal(makeMessage(3 * 1200, i));
        datagrams.removeLast();
        EXPECT_TRUE(feed(receiver, datagrams).empty());
        now += 1ms;
        EXPECT_LE(receiver.pendingMessages(), 3u);
        EXPECT_LE(receiver.pendingBytes(), limits.maxPendingBytes);
    }
    EXPECT_EQ(receiver.counters().dropped, 8u);
    // A complete message still gets through.
    const QByteArray last = makeMessage(4 * 1200, 99);
    const auto received = feed(receiver, sealer.seal(last));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], last);
}

TEST_F(StreamTransport, CountersFarBehindTheWindowAreRefused)
{
    StreamReceiver receiver(streamId, key, signerKey);
    const QByteArray early = sealer.seal(QByteArray("early")).front();
    for (std::uint64_t i = 0; i < StreamReceiver::replayWindow; ++i)
        sealer.seal(QByteArray());
    const QByteArray late = sealer.seal(QByteArray("late")).front();
    ASSERT_TRUE(receiver.addDatagram(bytesOf(late), now));
    EXPECT_FALSE(receiver.addDatagram(bytesOf(early), now));
    EXPECT_EQ(receiver.counters().replayed, 1u);
}

TEST(StreamDatagramHeader, ImpossibleFragmentNumbersAreRefused)
{
    QByteArray datagram;
    StreamDatagram header;
    header.count = 2;
    header.index = 2;
    header.write(datagram);
    datagram.append(QByteArray(16 + 64, '\0'));
    EXPECT_FALSE(StreamDatagram::read(bytesOf(datagram)));
    qToLittleEndian<std::uint16_t>(0, datagram.data() + 18);
    qToLittleEndian<std::uint16_t>(0, datagram.data() + 16);
    EXPECT_FALSE(StreamDatagram::read(bytesOf(datagram)));
    qToLittleEndian<std::uint16_t>(1, datagram.data() + 18);
    EXPECT_TRUE(StreamDatagram::read(bytesOf(datagram)));
    EXPECT_FALSE(StreamDatagram::read(bytesOf(datagram + QByteArray(1201, 'x'))));
}

// The worked example of docs/stream-protocol.md, made with Python's cryptography: our sender
// writes the same bytes and our receiver gives the documented verdicts.
TEST(StreamProtocolDocument, WorkedExample)
{
    const QByteArray datagram = QByteArray::fromHex("04030201050000000000000002000000000001"
                                                    "00f64ed4d1fa523ecc8d5e4addc8f5b84994a1e7"
                                                    "3abb535426856f119fd3b1777173084826437e06"
                                                    "084b4192346b9708e4753fab82300ca4549b4cae"
                                                    "e61ea5b2e112efa3db91c3358c04aa478f9ab1f0"
                                                    "9c63322309");
    std::array<unsigned char, 32> key {};
    std::iota(key.begin(), key.end(), 0);
    const QByteArray seed
        = QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    const ssl::SigningKey signer = ssl::SigningKey::fromSeed(bytesOf(seed).first<32>());
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(signer.publicKey().data()), 32).toBase64(),
        "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");

    // Counter 5 and sequence 2: five datagrams in two messages before it.
    StreamSealer sealer(0x01020304, key, signer);
    sealer.seal(QByteArray(3 * 1200, 'a'));
    sealer.seal(QByteArray(2 * 1200, 'b'));
    EXPECT_EQ(sealer.seal("vesk"), QList<QByteArray>({ datagram }));

    StreamReceiver receiver(0x01020304, key, signer.publicKey());
    EXPECT_EQ(receiver.addDatagram(bytesOf(datagram)), QByteArray("vesk"));
    EXPECT_FALSE(receiver.addDatagram(bytesOf(datagram)));
    EXPECT_EQ(receiver.counters().replayed, 1u);
}
