#include "streamtransporttest.h"

#include <QtEndian>

#include <algorithm>
#include <functional>
#include <limits>

using namespace vesk;
using namespace vesk::test;
using namespace std::chrono_literals;

using Kind = StreamDatagram::Kind;

TEST_F(StreamTransport, ManifestsListTheFragmentsThatFollowThem)
{
    // 65 fragments: two manifests, the second for the last fragment alone.
    const QByteArray message = makeMessage(64 * 1200 + 1, 1);
    const QList<QByteArray> datagrams = sealer.seal(message, 5s);
    ASSERT_EQ(datagrams.size(), 1 + 64 + 1 + 1);
    std::uint64_t counter = 0;
    std::vector<StreamDatagram::Digest> listed;
    for (const QByteArray& datagram : datagrams) {
        const auto header = StreamDatagram::read(bytesOf(datagram));
        ASSERT_TRUE(header);
        EXPECT_EQ(header->streamId, streamId);
        EXPECT_EQ(header->sequence, 0u);
        EXPECT_EQ(header->count, 65);
        EXPECT_EQ(header->counter, counter++);
        if (header->kind == Kind::manifest) {
            EXPECT_TRUE(listed.empty()) << "a manifest before its fragments were all sent";
            EXPECT_EQ(header->sentAt, 5s);
            EXPECT_EQ(header->index, header->counter == 0 ? 0 : 64);
            for (std::size_t i = header->digestCount; i-- > 0;) {
                listed.emplace_back();
                std::ranges::copy(
                    StreamDatagram::listed(bytesOf(datagram), i), listed.back().begin());
            }
            EXPECT_LE(std::size_t(datagram.size()), StreamDatagram::maxManifestSize);
        } else {
            ASSERT_FALSE(listed.empty());
            EXPECT_EQ(StreamDatagram::digestOf(bytesOf(datagram)), listed.back());
            listed.pop_back();
            EXPECT_LE(std::size_t(datagram.size()), StreamDatagram::maxFragmentSize);
        }
    }
    EXPECT_EQ(datagrams.back().size(), 22 + 1 + 16);
    // The plaintext must not show through.
    EXPECT_FALSE(datagrams[1].contains(message.left(32)));

    // The next message continues both numbers: an IV is never used twice.
    const QList<QByteArray> next = sealer.seal(QByteArray("x"), 6s);
    ASSERT_EQ(next.size(), 2);
    EXPECT_EQ(StreamDatagram::read(bytesOf(next[0]))->counter, 67u);
    EXPECT_EQ(StreamDatagram::read(bytesOf(next[1]))->sequence, 1u);
}

TEST_F(StreamTransport, RoundTripOfSizesAroundTheFragmentAndManifestBoundaries)
{
    StreamReceiver receiver(streamId, key, signerKey);
    for (qsizetype size :
        { 0, 1, 1199, 1200, 1201, 64 * 1200, 64 * 1200 + 1, 128 * 1200 + 7, 300000 }) {
        const QByteArray message = makeMessage(size, unsigned(size));
        const auto received = feed(receiver, sealer.seal(message, 1s));
        ASSERT_EQ(received.size(), 1u) << size;
        EXPECT_EQ(received[0], message) << size;
    }
    EXPECT_EQ(receiver.pendingMessages(), 0u);
    EXPECT_EQ(receiver.pendingBytes(), 0u);
    EXPECT_EQ(receiver.earlyFragments(), 0u);
    EXPECT_EQ(receiver.counters().accepted, sealer.nextCounter());
}

// What an attacker on the shop network can send, and what a register may get wrong. Each
// datagram is dropped under its cause and changes nothing: the genuine message after it, whose
// place the hostile ones try to take, still comes through whole.
TEST_F(StreamTransport, HostileDatagramsChangeNothing)
{
    using Counters = StreamReceiver::Counters;
    const ssl::SigningKey intruder = ssl::SigningKey::generate();
    const Forger display { key, &intruder };
    const Forger registerItself { key, &signer };
    const QList<QByteArray> before = sealer.seal("before", joinedAt + 1s);
    const QByteArray message = makeMessage(900, 3);
    // Sequence 1, counters 2 (its manifest) and 3 (its fragment).
    const QList<QByteArray> after = sealer.seal(message, joinedAt + 2s);
    StreamDatagram next = fragmentHeader(1, 0, 1, 3);
    next.sentAt = joinedAt + 2s;
    StreamDatagram elsewhere = fragmentHeader(7, 0, 1, 50);
    elsewhere.sentAt = joinedAt;
    struct Case
    {
        const char* name;
        std::function<QList<QByteArray>()> make;
        std::uint64_t Counters::*cause;
        std::uint64_t times = 1;
        // Hostile datagrams that are the register's own and pass.
        std::uint64_t accepted = 0;
        std::size_t pending = 0;
    };
    const Case cases[] = {
        { "a manifest for the next message, signed by another key",
            [&] { return QList { display.manifest(next, { display.fragment(next, "x") }) }; },
            &Counters::forged },
        { "the register's manifest with its counter changed to 2^64-1",
            [&] {
                QByteArray d = after[0];
                qToLittleEndian(std::numeric_limits<std::uint64_t>::max(), d.data() + 8);
                return QList { d };
            },
            &Counters::forged },
        { "the register's manifest, signature cut off",
            [&] { return QList { after[0].chopped(64) }; }, &Counters::malformed },
        { "a fragment sealed with the stream key in place of the next one, before its manifest",
            [&] { return QList { display.fragment(next, makeMessage(900, 4)) }; },
            &Counters::forged },
        { "three such candidates with the same counter",
            [&] {
                return QList { display.fragment(next, "a"), display.fragment(next, "b"),
                    display.fragment(next, "c") };
            },
            &Counters::forged, 3 },
        { "a manifest listing a fragment that was sealed under another key",
            [&] {
                StreamDatagram fragment = elsewhere;
                ++fragment.counter;
                const QByteArray sealed = Forger { makeKey(9), &signer }.fragment(fragment, "x");
                return QList { registerItself.manifest(elsewhere, { sealed }), sealed };
            },
            &Counters::unsealed, 1, 1, 1 },
        { "another stream",
            [&] {
                QByteArray d = after[0];
                qToLittleEndian<std::uint32_t>(streamId + 1, d.data() + 4);
                return QList { d };
            },
            &Counters::otherStream },
        { "a manifest of a message beyond the size limit",
            [&] {
                StreamDatagram huge = elsewhere;
                huge.count = 17;
                return QList { display.manifest(huge, { QByteArray() }) };
            },
            &Counters::oversized },
        { "protocol version 1", [&] { return QList { QByteArray(100, '\x01') }; },
            &Counters::otherVersion },
        { "shorter than a header", [&] { return QList { QByteArray(21, '\x02') }; },
            &Counters::malformed },
        { "a replay of the message before", [&] { return before; }, &Counters::replayed, 2 },
        { "a manifest recorded before the join",
            [&] {
                StreamSealer recorded(streamId, key, signer);
                return recorded.seal("recorded", joinedAt - 1001ms).mid(0, 1);
            },
            &Counters::beforeJoin },
        { "a signed manifest that contradicts the one before",
            [&] {
                StreamDatagram two = elsewhere;
                two.count = 2;
                ++two.counter;
                return QList { registerItself.manifest(elsewhere, { "a" }),
                    registerItself.manifest(two, { "b", "c" }) };
            },
            &Counters::inconsistent, 1, 2 },
    };
    Limits limits;
    limits.maxMessageBytes = 16 * 1200;
    for (const Case& c : cases) {
        StreamReceiver receiver(streamId, key, signerKey, joinedAt, limits);
        ASSERT_EQ(feed(receiver, before), std::vector<QByteArray>({ "before" })) << c.name;
        EXPECT_TRUE(feed(receiver, c.make()).empty()) << c.name;
        EXPECT_EQ(feed(receiver, after), std::vector<QByteArray>({ message })) << c.name;
        const Counters& counters = receiver.counters();
        EXPECT_EQ(counters.*c.cause, c.times) << c.name;
        EXPECT_EQ(counters.accepted, 4 + c.accepted) << c.name;
        EXPECT_EQ(counters.messages, 2u) << c.name;
        EXPECT_EQ(receiver.pendingMessages(), c.pending) << c.name;
        EXPECT_EQ(receiver.earlyFragments(), 0u) << c.name;
    }
}

// Any order, any copies, and forged candidates for every fragment slot sent both before and after
// the real fragment: each message comes out exactly once, whole.
TEST_F(StreamTransport, ShuffledCopiedAndForgedDatagramsStillAssembleEachMessageOnce)
{
    const ssl::SigningKey intruder = ssl::SigningKey::generate();
    for (unsigned seed = 0; seed < 20; ++seed) {
        std::mt19937 random(seed);
        StreamSealer register_(streamId, key, signer);
        // Room for every fragment to come before its manifest: the pool's bounds are tested apart.
        Limits limits;
        limits.maxEarlyFragments = 4096;
        StreamReceiver receiver(streamId, key, signerKey, {}, limits);
        std::vector<QByteArray> messages;
        QList<QByteArray> wire;
        for (unsigned i = 0; i < 6; ++i) {
            messages.push_back(makeMessage(qsizetype(random() % (70 * 1200)), seed * 10 + i));
            const QList<QByteArray> sealed = register_.seal(messages.back(), 1s);
            wire += sealed;
            wire += sealed.mid(qsizetype(random() % std::size_t(sealed.size())), 2);
            // Two forgeries per slot at most: with the real one they fit the slot's candidates.
            for (const QByteArray& datagram : sealed) {
                StreamDatagram header = *StreamDatagram::read(bytesOf(datagram));
                if (header.kind == Kind::fragment && random() % 2)
                    wire += Forger { key, &intruder }.fragment(header, "forged");
            }
        }
        std::shuffle(wire.begin(), wire.end(), random);
        std::vector<QByteArray> received = feed(receiver, wire);
        std::sort(received.begin(), received.end());
        std::sort(messages.begin(), messages.end());
        EXPECT_EQ(received, messages) << seed;
        EXPECT_EQ(receiver.pendingMessages(), 0u) << seed;
        const StreamReceiver::Counters& counters = receiver.counters();
        EXPECT_EQ(counters.accepted, register_.nextCounter()) << seed;
        // Every other datagram is a copy or a forgery, counted as such once its time is up
        // (a forgery that comes after its message was complete has nothing to be judged by).
        receiver.expire(now + limits.earlyTimeout);
        EXPECT_EQ(receiver.earlyFragments(), 0u) << seed;
        EXPECT_EQ(counters.rejected(), counters.forged) << seed;
        EXPECT_EQ(counters.accepted + counters.replayed + counters.forged + counters.unclaimed,
            std::uint64_t(wire.size()))
            << seed;
    }
}

TEST_F(StreamTransport, ALostManifestOrFragmentDropsOnlyItsMessage)
{
    Limits limits;
    limits.timeout = 500ms;
    limits.earlyTimeout = 300ms;
    StreamReceiver receiver(streamId, key, signerKey, {}, limits);
    const QByteArray first = makeMessage(5000, 1);
    const QByteArray second = makeMessage(5000, 2);
    const QByteArray third = makeMessage(5000, 3);
    const QByteArray fourth = makeMessage(5000, 4);
    QList<QByteArray> lostManifest = sealer.seal(second, 1s);
    lostManifest.removeFirst();
    QList<QByteArray> lostFragment = sealer.seal(third, 1s);
    lostFragment.removeAt(2);
    const QList<QByteArray> datagrams
        = sealer.seal(first, 1s) + lostManifest + lostFragment + sealer.seal(fourth, 1s);

    EXPECT_EQ(feed(receiver, datagrams), std::vector<QByteArray>({ first, fourth }));
    EXPECT_EQ(receiver.pendingMessages(), 1u);
    EXPECT_EQ(receiver.pendingBytes(), 5000u - 1200);
    EXPECT_EQ(receiver.earlyFragments(), 5u);

    receiver.expire(now + 299ms);
    EXPECT_EQ(receiver.earlyFragments(), 5u);
    receiver.expire(now + 300ms);
    EXPECT_EQ(receiver.earlyFragments(), 0u);
    EXPECT_EQ(receiver.counters().unclaimed, 5u);
    receiver.expire(now + 499ms);
    EXPECT_EQ(receiver.pendingMessages(), 1u);
    receiver.expire(now + 500ms);
    EXPECT_EQ(receiver.pendingMessages(), 0u);
    EXPECT_EQ(receiver.pendingBytes(), 0u);
    EXPECT_EQ(receiver.counters().dropped, 1u);
}

// Whatever floods the pool of early fragments, it stays within its limits, refuses newcomers
// rather than evicting, and empties in time.
TEST_F(StreamTransport, EarlyFragmentsStayWithinTheirLimits)
{
    Limits limits;
    limits.maxEarlyFragments = 40;
    limits.earlyPerSlot = 3;
    limits.earlySequences = 8;
    StreamReceiver receiver(streamId, key, signerKey, {}, limits);
    const ssl::SigningKey intruder = ssl::SigningKey::generate();
    const Forger display { key, &intruder };
    // The real fragment of sequence 3 comes first; the flood after it cannot push it out.
    QList<QByteArray> real = sealer.seal("x", 1s);
    for (std::uint32_t s = 1; s < 4; ++s)
        real = sealer.seal(QByteArray(3, char('0' + s)), 1s);
    feed(receiver, { real[1] });
    for (std::uint64_t i = 0; i < 500; ++i)
        feed(receiver,
            { display.fragment(fragmentHeader(std::uint32_t(i % 20), 0, 1, 100 + i), "f") });
    EXPECT_EQ(receiver.earlyFragments(), 40u);
    EXPECT_EQ(feed(receiver, { real[0] }), std::vector<QByteArray>({ "333" }));
    EXPECT_EQ(
        receiver.counters().unclaimed + receiver.earlyFragments() + receiver.counters().forged,
        500u);

    // Once a manifest has come, only sequences near it wait.
    receiver.expire(now + 500ms);
    EXPECT_EQ(receiver.earlyFragments(), 0u);
    const std::uint64_t unclaimed = receiver.counters().unclaimed;
    feed(receiver,
        { display.fragment(fragmentHeader(3 + 8, 0, 1, 7000), "near"),
            display.fragment(fragmentHeader(3 + 9, 0, 1, 7001), "far"),
            display.fragment(fragmentHeader(std::uint32_t(-6), 0, 1, 7002), "far") });
    EXPECT_EQ(receiver.earlyFragments(), 1u);
    EXPECT_EQ(receiver.counters().unclaimed, unclaimed + 2);
}

TEST_F(StreamTransport, IncompleteMessagesStayWithinTheLimits)
{
    Limits limits;
    limits.maxPendingMessages = 3;
    limits.maxPendingBytes = 5 * 1200;
    StreamReceiver receiver(streamId, key, signerKey, {}, limits);
    // Ten messages with their last fragment lost: only the newest ones are held.
    for (unsigned i = 0; i < 10; ++i) {
        QList<QByteArray> datagrams = sealer.seal(makeMessage(3 * 1200, i), 1s);
        datagrams.removeLast();
        EXPECT_TRUE(feed(receiver, datagrams).empty());
        now += 1ms;
        EXPECT_LE(receiver.pendingMessages(), 3u);
        EXPECT_LE(receiver.pendingBytes(), limits.maxPendingBytes);
    }
    EXPECT_EQ(receiver.counters().dropped, 8u);
    // A complete message still gets through.
    const QByteArray last = makeMessage(4 * 1200, 99);
    EXPECT_EQ(feed(receiver, sealer.seal(last, 1s)), std::vector<QByteArray>({ last }));
}

// The window's edge exactly: with 10000 the highest counter taken, 1809 (10000 - 8191) is still
// taken and 1808 (10000 - 8192) is a replay, whichever of them comes first.
TEST_F(StreamTransport, TheReplayWindowKeepsExactly8192Counters)
{
    const Forger registerItself { key, &signer };
    const auto manifestWith = [&](std::uint64_t counter) {
        StreamDatagram header = fragmentHeader(std::uint32_t(counter), 0, 1, counter);
        return registerItself.manifest(header, { "x" });
    };
    static_assert(StreamReceiver::replayWindow == 8192);
    for (const bool edgeFirst : { true, false }) {
        StreamReceiver receiver(streamId, key, signerKey);
        feed(receiver, { manifestWith(10000) });
        const QByteArray inside = manifestWith(10000 - 8191);
        const QByteArray outside = manifestWith(10000 - 8192);
        feed(receiver, edgeFirst ? QList { inside, outside } : QList { outside, inside });
        EXPECT_EQ(receiver.counters().accepted, 2u) << edgeFirst;
        EXPECT_EQ(receiver.counters().replayed, 1u) << edgeFirst;
        // Taken once, the edge is a replay too; a counter above the highest moves the window.
        feed(receiver, { inside, manifestWith(10001), manifestWith(10001 - 8191) });
        EXPECT_EQ(receiver.counters().replayed, 2u) << edgeFirst;
        EXPECT_EQ(receiver.counters().accepted, 4u) << edgeFirst;
    }
}

// The layouts of streamdatagram.cpp, one datagram per rule: lengths by kind, counts and indices.
TEST(StreamDatagramHeader, LayoutsAreReadAsTheyAreWritten)
{
    const auto make = [](Kind kind, std::uint16_t index, std::uint16_t count, std::uint16_t digests,
                          qsizetype tail) {
        StreamDatagram header = fragmentHeader(5, index, count, 9);
        header.kind = kind;
        header.digestCount = digests;
        header.sentAt = std::chrono::milliseconds(77);
        QByteArray datagram;
        header.write(datagram);
        return datagram + QByteArray(tail, '\0');
    };
    const struct
    {
        QByteArray datagram;
        bool taken;
    } cases[] = {
        { make(Kind::fragment, 0, 1, 0, 16), true },
        { make(Kind::fragment, 0, 1, 0, 15), false },
        { make(Kind::fragment, 1, 2, 0, 1216), true },
        { make(Kind::fragment, 1, 2, 0, 1217), false },
        { make(Kind::fragment, 2, 2, 0, 16), false },
        { make(Kind::fragment, 0, 0, 0, 16), false },
        { make(Kind::manifest, 0, 1, 1, 16 + 64), true },
        { make(Kind::manifest, 0, 1, 1, 16 + 63), false },
        { make(Kind::manifest, 0, 1, 1, 16 + 65), false },
        { make(Kind::manifest, 0, 65, 64, 64 * 16 + 64), true },
        { make(Kind::manifest, 0, 65, 65, 65 * 16 + 64), false },
        { make(Kind::manifest, 64, 65, 2, 2 * 16 + 64), false },
        { make(Kind::manifest, 0, 1, 0, 64), false },
        { make(Kind(3), 0, 1, 0, 100), false },
    };
    for (const auto& c : cases) {
        const auto header = StreamDatagram::read(bytesOf(c.datagram));
        EXPECT_EQ(bool(header), c.taken) << c.datagram.toHex().toStdString();
        if (header && header->kind == Kind::manifest) {
            EXPECT_EQ(header->sentAt.count(), 77);
        }
    }
    QByteArray otherVersion = make(Kind::fragment, 0, 1, 0, 16);
    otherVersion[0] = 1;
    EXPECT_FALSE(StreamDatagram::read(bytesOf(otherVersion)));
}
