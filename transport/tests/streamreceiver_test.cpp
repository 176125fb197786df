#include "streamtransporttest.h"

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
    detail::IntervalMac mac(registerItself.chain.keyOf(50));
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
            EXPECT_TRUE(mac.verifies(StreamDatagram::macedPart(bytesOf(datagram)),
                StreamDatagram::mac(bytesOf(datagram))));
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

// Whenever the register is asked, each key goes out once, in order, never before its interval
// is `delay` intervals old, and nothing is sealed under a key that is out.
TEST_F(StreamTransport, KeysGoOutOnceEachNeverEarly)
{
    std::mt19937 random(7);
    std::optional<std::uint64_t> last;
    for (auto at = 0ms; at < 1200s; at += std::chrono::milliseconds(random() % 400)) {
        for (const QByteArray& datagram : sealer.disclose(at)) {
            const auto key = StreamDisclosure::read(bytesOf(datagram));
            if (!key)
                continue;
            EXPECT_LE(std::int64_t(key->interval + 3) * 100, at.count());
            EXPECT_TRUE(!last || key->interval > *last) << key->interval;
            last = key->interval;
            EXPECT_TRUE(sealer.seal("x", std::chrono::milliseconds(key->interval * 100)).isEmpty());
        }
        EXPECT_EQ(sealer.seal("x", at).size(), 2) << at.count();
    }
    EXPECT_TRUE(last);
}

TEST_F(StreamTransport, RoundTripOfSizesAroundTheFragmentAndManifestBoundaries)
{
    auto receiver = joined();
    for (qsizetype size :
        { 0, 1, 1199, 1200, 1201, 64 * 1200, 64 * 1200 + 1, 128 * 1200 + 7, 300000 }) {
        const QByteArray message = makeMessage(size, unsigned(size));
        const auto received = roundTrip(*receiver, message);
        ASSERT_EQ(received.size(), 1u) << size;
        EXPECT_EQ(received[0], message) << size;
    }
    EXPECT_EQ(receiver->pendingMessages(), 0u);
    EXPECT_EQ(receiver->waiting(), 0u);
    EXPECT_EQ(receiver->counters().rejected(), 0u);
    EXPECT_EQ(receiver->counters().judged(), receiver->counters().accepted);
}

// What an attacker on the shop network can send, and what a register may get wrong. Each
// datagram is dropped under its cause and changes nothing: the genuine message after it, whose
// place the hostile ones try to take, still comes through whole, and every other count is what a
// run without them gives.
TEST_F(StreamTransport, HostileDatagramsChangeNothing)
{
    const QList<QByteArray> recorded = sealer.seal("recorded", 58000ms).mid(0, 1);
    Limits limits;
    limits.maxMessageBytes = 16 * 1200;
    limits.anchorChecks = 1;
    const StreamReceiver::Join join = answer();
    // Sequence 1 at 60000 ms, then sequence 2 at 60400 ms, when the hostile datagrams come:
    // counters 2 to 5. Intervals 602 to 604 are safe then, the key of 601 the newest out.
    const QList<QByteArray> before = sealer.seal("before", clock);
    const QByteArray message = makeMessage(900, 3);
    const QList<QByteArray> after = sealer.seal(message, clock + 400ms);
    const auto at = clock;
    StreamDatagram next = fragmentHeader(2, 0, 1, 5);
    next.sentAt = at + 400ms;
    StreamDatagram other = fragmentHeader(7, 0, 1, 50);
    other.sentAt = at + 400ms;
    const ssl::SigningKey stranger = ssl::SigningKey::generate();
    const auto keyOf = [&](std::uint32_t chain, std::uint64_t interval, bool genuine) {
        StreamDisclosure d { streamId, chain, interval, registerItself.chain.keyOf(interval) };
        d.key[0] ^= genuine ? 0 : 1;
        return d.write();
    };
    const auto anchor = [&](std::uint32_t chain, std::chrono::milliseconds sent) {
        return intruder.anchor({ streamId, chain, 6000, 6000, 100ms, 3, {}, {} }, stranger, sent);
    };
    const auto with = [](const QByteArray& datagram, std::size_t at, auto value) {
        QByteArray changed = datagram;
        qToLittleEndian(value, changed.data() + at);
        return changed;
    };
    struct Case
    {
        const char* name;
        std::function<QList<QByteArray>()> make;
        std::uint64_t Counters::*cause;
        std::uint64_t times = 1;
        // Hostile datagrams that are the register's own and pass; messages they leave open.
        std::uint64_t accepted = 0;
        std::size_t pending = 0;
        // A second cause, once.
        std::uint64_t Counters::*also = nullptr;
    };
    const Case cases[] = {
        { "a manifest for the next message, MACed under another chain",
            [&] { return QList { intruder.manifest(next, { intruder.fragment(next, "x") }) }; },
            &Counters::forged },
        { "the register's manifest with its counter changed to 2^64-1",
            [&] { return QList { with(after[0], 8, std::numeric_limits<std::uint64_t>::max()) }; },
            &Counters::forged },
        { "the register's manifest, MAC cut off", [&] { return QList { after[0].chopped(16) }; },
            &Counters::malformed },
        { "four fragments sealed with the stream key in place of the next one, before it",
            [&] {
                return QList { intruder.fragment(next, "a"), intruder.fragment(next, "b"),
                    intruder.fragment(next, "c"), intruder.fragment(next, "d") };
            },
            &Counters::forged, 4 },
        { "a manifest of the register listing a fragment sealed under another key",
            [&] {
                StreamDatagram fragment = other;
                ++fragment.counter;
                const QByteArray sealed
                    = Forger { makeKey(9), registerItself.chain }.fragment(fragment, "x");
                return QList { registerItself.manifest(other, { sealed }), sealed };
            },
            &Counters::unsealed, 1, 1, 1 },
        { "two manifests of the register that contradict each other",
            [&] {
                StreamDatagram two = other;
                two.count = 2;
                ++two.counter;
                return QList { registerItself.manifest(other, { "a" }),
                    registerItself.manifest(two, { "b", "c" }) };
            },
            &Counters::inconsistent, 1, 1 },
        { "another stream", [&] { return QList { with(after[0], 4, streamId + 1) }; },
            &Counters::otherStream },
        { "a manifest of a message beyond the size limit",
            [&] {
                StreamDatagram huge = other;
                huge.count = 17;
                return QList { intruder.manifest(huge, { QByteArray() }) };
            },
            &Counters::oversized },
        { "protocol version 2", [&] { return QList { QByteArray(112, '\x02') }; },
            &Counters::otherVersion },
        { "shorter than a header", [&] { return QList { QByteArray(21, '\x03') }; },
            &Counters::malformed },
        { "a replay of the message before, whose key is out", [&] { return before; },
            &Counters::unsafe, 1, 0, 0, &Counters::replayed },
        { "a manifest recorded before the join", [&] { return recorded; }, &Counters::unsafe },
        { "a manifest of an interval whose key may be out",
            [&] {
                StreamDatagram old = other;
                old.sentAt = at + 100ms;
                return QList { registerItself.manifest(old, { "a" }) };
            },
            &Counters::unsafe },
        { "a manifest of an interval the register has not reached",
            [&] {
                StreamDatagram ahead = other;
                ahead.sentAt = at + 500ms;
                return QList { intruder.manifest(ahead, { "a" }) };
            },
            &Counters::future },
        { "a fragment of the message before, with a new counter",
            [&] { return QList { intruder.fragment(fragmentHeader(1, 0, 1, 40), "before") }; },
            &Counters::unclaimed },
        { "the key held, forged", [&] { return QList { keyOf(0, 601, false) }; },
            &Counters::forged },
        { "a key of an interval the register cannot have disclosed",
            [&] { return QList { keyOf(0, 602, true) }; }, &Counters::future },
        { "a key older than the one held", [&] { return QList { keyOf(0, 590, true) }; },
            &Counters::late },
        { "the key held, again", [&] { return QList { keyOf(0, 601, true) }; },
            &Counters::replayed },
        { "a key of a chain not held", [&] { return QList { keyOf(5, 601, true) }; },
            &Counters::unanchored },
        { "an anchor of the next chain, MACed under another chain",
            [&] { return QList { anchor(1, at + 400ms) }; }, &Counters::forged },
        { "an anchor of the chain held, with another commitment",
            [&] { return QList { anchor(0, at + 400ms) }; }, &Counters::forged },
        { "two anchors only a signature can check, with one check left",
            [&] {
                return QList { anchor(1, 1000s), anchor(2, 1000s) };
            },
            &Counters::unchecked, 1, 0, 0, &Counters::forged },
    };
    const std::vector<QByteArray> expected { "before", message };
    const auto start = now;
    const auto run = [&](StreamReceiver& receiver, const QList<QByteArray>& hostile) {
        clock = at;
        now = start;
        std::vector<QByteArray> out = feed(receiver, before);
        for (QByteArray& m : pass(receiver, 400ms))
            out.push_back(m);
        EXPECT_TRUE(feed(receiver, hostile).empty());
        for (QByteArray& m : feed(receiver, after))
            out.push_back(m);
        for (QByteArray& m : pass(receiver, 400ms))
            out.push_back(m);
        return out;
    };
    StreamReceiver clean(streamId, key, signerKey, limits);
    ASSERT_EQ(clean.join(join), StreamReceiver::JoinError::none);
    ASSERT_EQ(run(clean, {}), expected);
    const Counters& baseline = clean.counters();
    for (const Case& c : cases) {
        // The same answer, at the same moment, for every case.
        StreamReceiver receiver(streamId, key, signerKey, limits);
        ASSERT_EQ(receiver.join(join), StreamReceiver::JoinError::none);
        EXPECT_EQ(run(receiver, c.make()), expected) << c.name;
        Counters counters = receiver.counters();
        counters.*c.cause -= c.times;
        if (c.also)
            counters.*c.also -= 1;
        counters.accepted -= c.accepted;
        for (const auto cause :
            { &Counters::accepted, &Counters::otherVersion, &Counters::malformed,
                &Counters::otherStream, &Counters::oversized, &Counters::future, &Counters::unsafe,
                &Counters::unanchored, &Counters::late, &Counters::replayed, &Counters::forged,
                &Counters::unsealed, &Counters::inconsistent, &Counters::unchecked,
                &Counters::unclaimed, &Counters::crowded })
            EXPECT_EQ(counters.*cause, baseline.*cause) << c.name;
        EXPECT_EQ(receiver.pendingMessages(), c.pending) << c.name;
        EXPECT_EQ(receiver.waiting(), 0u) << c.name;
    }
}

// Any order, any copies, and forged candidates for every manifest and fragment, sent both before
// and after the real one: each message comes out exactly once, whole, and every datagram is
// counted once.
TEST_F(StreamTransport, ShuffledCopiedAndForgedDatagramsStillAssembleEachMessageOnce)
{
    for (unsigned seed = 0; seed < 20; ++seed) {
        std::mt19937 random(seed);
        auto receiver = joined();
        keysSent = 0;
        std::vector<QByteArray> messages;
        QList<QByteArray> wire;
        std::uint64_t genuine = 0;
        for (unsigned i = 0; i < 6; ++i) {
            messages.push_back(makeMessage(qsizetype(random() % (70 * 1200)), seed * 10 + i));
            const QList<QByteArray> sealed = sealer.seal(messages.back(), clock);
            genuine += std::uint64_t(sealed.size());
            wire += sealed;
            wire += sealed.mid(qsizetype(random() % std::size_t(sealed.size())), 2);
            for (const QByteArray& datagram : sealed) {
                const StreamDatagram header = *StreamDatagram::read(bytesOf(datagram));
                for (unsigned n = random() % 6; n > 0; --n)
                    wire += header.kind == Kind::fragment ? intruder.fragment(header, "forged")
                                                          : intruder.manifest(header, { "forged" });
            }
        }
        std::shuffle(wire.begin(), wire.end(), random);
        std::vector<QByteArray> received = feed(*receiver, wire);
        for (QByteArray& m : pass(*receiver, 400ms))
            received.push_back(m);
        std::sort(received.begin(), received.end());
        std::sort(messages.begin(), messages.end());
        EXPECT_EQ(received, messages) << seed;
        EXPECT_EQ(receiver->pendingMessages(), 0u) << seed;
        receiver->finish();
        const Counters& counters = receiver->counters();
        EXPECT_EQ(counters.accepted, genuine + keysSent) << seed;
        EXPECT_EQ(counters.rejected(), counters.forged) << seed;
        EXPECT_EQ(counters.judged(), std::uint64_t(wire.size()) + keysSent) << seed;
    }
}

TEST_F(StreamTransport, ALostManifestOrFragmentDropsOnlyItsMessage)
{
    Limits limits;
    limits.timeout = 500ms;
    auto receiver = joined(limits);
    const QByteArray first = makeMessage(5000, 1);
    const QByteArray second = makeMessage(5000, 2);
    const QByteArray third = makeMessage(5000, 3);
    const QByteArray fourth = makeMessage(5000, 4);
    QList<QByteArray> lostManifest = sealer.seal(second, clock);
    lostManifest.removeFirst();
    QList<QByteArray> lostFragment = sealer.seal(third, clock);
    lostFragment.removeAt(2);
    const QList<QByteArray> datagrams
        = sealer.seal(first, clock) + lostManifest + lostFragment + sealer.seal(fourth, clock);

    EXPECT_TRUE(feed(*receiver, datagrams).empty());
    EXPECT_EQ(receiver->waiting(), std::size_t(datagrams.size()));
    // The key comes 300 ms later; the incomplete message is held from then on, for 500 ms.
    EXPECT_EQ(pass(*receiver, 300ms), std::vector<QByteArray>({ first, fourth }));
    EXPECT_EQ(receiver->pendingMessages(), 1u);
    EXPECT_EQ(receiver->pendingBytes(), 5000u - 1200);
    EXPECT_EQ(receiver->waiting(), 0u);
    EXPECT_EQ(receiver->counters().unclaimed, 5u);
    pass(*receiver, 499ms);
    EXPECT_EQ(receiver->pendingMessages(), 1u);
    pass(*receiver, 1ms);
    EXPECT_EQ(receiver->pendingMessages(), 0u);
    EXPECT_EQ(receiver->pendingBytes(), 0u);
    EXPECT_EQ(receiver->counters().dropped, 1u);
}

// A flood of forged manifests beyond what the pool holds: from another address it costs the
// register's datagrams nothing, not even when it relays them ahead of the register; with the
// register's own source each genuine datagram keeps its place with the chance every other has,
// places / offered; the pool never exceeds its limits.
TEST_F(StreamTransport, AFloodCostsTheGenuineStreamItsShareOfThePoolAndNoMore)
{
    Limits limits;
    limits.maxWaiting = 1000;
    limits.maxWaitingPerInterval = 100;
    limits.seed = 3;
    for (const StreamReceiver::Source from : { elsewhere, registerSource }) {
        auto receiver = joined(limits);
        // The register's source becomes known with its first message.
        ASSERT_EQ(roundTrip(*receiver, "first").size(), 1u);
        StreamDatagram forged = fragmentHeader(9, 0, 4, 1u << 20);
        std::size_t kept = 0;
        const std::size_t messages = 60;
        for (std::size_t i = 0; i < messages; ++i) {
            QList<QByteArray> flood;
            for (int n = 0; n < 15; ++n, ++forged.counter) {
                forged.sentAt = clock;
                flood.append(intruder.manifest(forged, { "x", "y", "z", "w" }));
            }
            // The message relayed ahead of the register, then buried under the flood.
            const QList<QByteArray> message = sealer.seal(makeMessage(100, unsigned(i)), clock);
            feed(*receiver, message + flood, from);
            feed(*receiver, message);
            EXPECT_LE(receiver->waiting(), 2 * limits.maxWaiting);
            if (i % 10 == 9)
                kept += pass(*receiver, 100ms).size();
        }
        kept += pass(*receiver, 400ms).size();
        EXPECT_GT(receiver->counters().crowded, 0u) << from;
        if (from == elsewhere) {
            EXPECT_EQ(kept, messages);
        } else {
            // 170 offers an interval for 100 places (the copies are one with the original):
            // each datagram stays with 100 / 170, a message of two with about 35 %.
            EXPECT_GT(kept, messages / 10);
            EXPECT_LT(kept, messages * 6 / 10);
        }
    }
}

TEST_F(StreamTransport, IncompleteMessagesStayWithinTheLimits)
{
    Limits limits;
    limits.maxPendingMessages = 3;
    limits.maxPendingBytes = 5 * 1200;
    auto receiver = joined(limits);
    // Ten messages with their last fragment lost: only the newest ones are held.
    for (unsigned i = 0; i < 10; ++i) {
        QList<QByteArray> datagrams = sealer.seal(makeMessage(3 * 1200, i), clock);
        datagrams.removeLast();
        EXPECT_TRUE(feed(*receiver, datagrams).empty());
        pass(*receiver, 100ms);
        EXPECT_LE(receiver->pendingMessages(), 3u);
        EXPECT_LE(receiver->pendingBytes(), limits.maxPendingBytes);
    }
    pass(*receiver, 300ms);
    EXPECT_EQ(receiver->counters().dropped, 8u);
    // A complete message still gets through.
    const QByteArray last = makeMessage(4 * 1200, 99);
    EXPECT_EQ(roundTrip(*receiver, last), std::vector<QByteArray>({ last }));
}

// The window's edge exactly: with 10000 the highest counter taken, 1809 (10000 - 8191) is still
// taken and 1808 (10000 - 8192) is a replay, whichever of them comes first.
TEST_F(StreamTransport, TheReplayWindowKeepsExactly8192Counters)
{
    const auto manifestWith = [&](std::uint64_t counter) {
        StreamDatagram header = fragmentHeader(std::uint32_t(counter), 0, 1, counter);
        header.sentAt = clock;
        return registerItself.manifest(header, { "x" });
    };
    static_assert(StreamReceiver::replayWindow == 8192);
    for (const bool edgeFirst : { true, false }) {
        auto receiver = joined();
        const auto counts = [&](const QList<QByteArray>& manifests) {
            feed(*receiver, manifests);
            pass(*receiver, 400ms);
            return std::pair(receiver->pendingMessages(), receiver->counters().replayed);
        };
        EXPECT_EQ(counts({ manifestWith(10000) }), std::pair(std::size_t(1), std::uint64_t(0)));
        const QByteArray inside = manifestWith(10000 - 8191);
        const QByteArray outside = manifestWith(10000 - 8192);
        EXPECT_EQ(counts(edgeFirst ? QList { inside, outside } : QList { outside, inside }),
            std::pair(std::size_t(2), std::uint64_t(1)))
            << edgeFirst;
        // A counter above the highest moves the window: 1810 is its edge now, 1809 behind it.
        EXPECT_EQ(counts({ manifestWith(10001) }), std::pair(std::size_t(3), std::uint64_t(1)));
        EXPECT_EQ(counts({ manifestWith(10001 - 8191), manifestWith(10000 - 8191) }),
            std::pair(std::size_t(4), std::uint64_t(2)))
            << edgeFirst;
    }
}

// The safety condition against a register whose clock runs as much faster as allowed, a join
// answered 20 ms after it was asked, and a network that delays each datagram at random:
// whatever a forger makes with a key once it is out, at any moment after, is unsafe; the
// register's own datagrams are taken while delay and error together stay below (d - 1)
// intervals (here at most 120 ms of delay and 21 ms of error).
TEST_F(StreamTransport, NothingIsTakenOnceItsKeyCouldBeOut)
{
    std::mt19937 random(11);
    const auto joinedAt = clock;
    const auto answeredAt = now;
    // Our clock when the register's reads `at`: the register's runs 500 ppm faster.
    const auto localAt = [&](std::chrono::milliseconds at) {
        return answeredAt + std::chrono::microseconds((at - joinedAt).count() * 10000000 / 10005);
    };
    StreamReceiver::Join join = answer();
    join.asked = answeredAt - 20ms;
    StreamReceiver receiver(streamId, key, signerKey);
    ASSERT_EQ(receiver.join(join), StreamReceiver::JoinError::none);
    std::vector<std::pair<StreamReceiver::Clock::time_point, QByteArray>> arrivals;
    std::uint64_t messages = 0;
    std::uint64_t forgeries = 0;
    for (auto at = joinedAt; at < joinedAt + 61s; at += 37ms) {
        for (const QByteArray& datagram : sealer.disclose(at)) {
            arrivals.emplace_back(
                localAt(at + std::chrono::milliseconds(random() % 150)), datagram);
            const auto disclosed = StreamDisclosure::read(bytesOf(datagram));
            StreamDatagram header
                = fragmentHeader(std::uint32_t(forgeries), 0, 1, (forgeries + 1) << 32);
            header.sentAt = std::chrono::milliseconds(disclosed->interval * 100 + random() % 100);
            // Right after the key is out, and later: a manifest of its interval, MACed with it.
            for (const auto later : { 0ms, 1ms, 250ms, 5000ms }) {
                arrivals.emplace_back(
                    localAt(at + later), registerItself.manifest(header, { "x" }));
                ++header.counter;
                ++forgeries;
            }
        }
        if (at >= joinedAt + 60s)
            continue;
        const auto delay = std::chrono::milliseconds(random() % 120);
        for (const QByteArray& datagram : sealer.seal("m", at))
            arrivals.emplace_back(localAt(at + delay), datagram);
        ++messages;
    }
    std::ranges::stable_sort(arrivals, {}, &decltype(arrivals)::value_type::first);
    for (const auto& [at, datagram] : arrivals)
        receiver.addDatagram(bytesOf(datagram), registerSource, at);
    receiver.finish();
    EXPECT_EQ(receiver.counters().unsafe, forgeries);
    EXPECT_EQ(receiver.counters().messages, messages);
    EXPECT_EQ(receiver.counters().rejected(), 0u);
}

// Chains end and the next one is taken in-band by its MAC under the chain before, without a
// signature check; the stream goes on across the ends without a loss.
TEST_F(StreamTransport, ChainsAreRenewedInBandWithoutSignatures)
{
    StreamSealer::Schedule schedule;
    schedule.chainLength = 50;
    schedule.renewal = 20;
    schedule.announceEvery = 5;
    StreamSealer short_(streamId, key, signer, schedule, countingRandom());
    Limits limits;
    limits.anchorChecks = 0;
    limits.renewalMargin = 1s;
    StreamReceiver receiver(streamId, key, signerKey, limits);
    clock = 1000ms;
    short_.disclose(clock);
    const StreamSealer::Joining joining = short_.joining(clock);
    ASSERT_EQ(receiver.join({ clock, now, now, joining.anchor, {}, joining.key }),
        StreamReceiver::JoinError::none);
    std::size_t received = 0;
    std::size_t sent = 0;
    for (; clock < 31s; clock += 50ms, now += 50ms) {
        for (const QByteArray& datagram : short_.disclose(clock))
            received += receiver.addDatagram(bytesOf(datagram), registerSource, now).size();
        if (clock >= 30s)
            continue;
        for (const QByteArray& datagram : short_.seal(makeMessage(3000, unsigned(sent)), clock))
            received += receiver.addDatagram(bytesOf(datagram), registerSource, now).size();
        ++sent;
        EXPECT_FALSE(receiver.wantsJoin(now)) << clock.count();
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(receiver.counters().unchecked + receiver.counters().unanchored, 0u);
    EXPECT_EQ(receiver.counters().rejected(), 0u);
}

// When a receiver asks for a new answer, and that an answer settles what waited.
TEST_F(StreamTransport, AReceiverAsksToJoinWhenItsClockOrChainsFail)
{
    auto receiver = std::make_unique<StreamReceiver>(streamId, key, signerKey);
    EXPECT_TRUE(receiver->wantsJoin(now)) << "before any answer";
    StreamReceiver::Join slow = answer();
    slow.asked = now - 150ms;
    ASSERT_EQ(receiver->join(slow), StreamReceiver::JoinError::none);
    EXPECT_TRUE(receiver->wantsJoin(now)) << "an answer that took 150 ms";
    ASSERT_EQ(receiver->join(answer()), StreamReceiver::JoinError::none);
    EXPECT_FALSE(receiver->wantsJoin(now));

    // Keys lost: what waited for them is taken with the next answer's key, and a loose bound
    // does not replace the tight one.
    feed(*receiver, sealer.seal("waited", clock));
    clock += 500ms;
    now += 500ms;
    QList<QByteArray> completed;
    StreamReceiver::Join loose = answer();
    loose.asked = now - 20s;
    EXPECT_EQ(receiver->join(loose, &completed), StreamReceiver::JoinError::none);
    EXPECT_EQ(completed, QList<QByteArray>({ "waited" }));
    EXPECT_FALSE(receiver->wantsJoin(now));
    clock += 5100ms;
    now += 5100ms;
    EXPECT_TRUE(receiver->wantsJoin(now)) << "no key for 5 s";
    ASSERT_EQ(receiver->join(answer()), StreamReceiver::JoinError::none);
    EXPECT_FALSE(receiver->wantsJoin(now));

    // The chain ends within 30 s and no next one is named.
    const auto jump = 571000ms - clock;
    clock += jump;
    now += jump;
    sealer.disclose(clock);
    StreamReceiver::Join ending = answer();
    ending.next.clear();
    ASSERT_EQ(receiver->join(ending), StreamReceiver::JoinError::none);
    EXPECT_TRUE(receiver->wantsJoin(now));
    ASSERT_EQ(receiver->join(answer()), StreamReceiver::JoinError::none);
    EXPECT_FALSE(receiver->wantsJoin(now));

    // Answers that do not check change nothing.
    StreamReceiver::Join bad = answer();
    bad.anchor[70] = char(bad.anchor[70] ^ 1);
    EXPECT_EQ(receiver->join(bad), StreamReceiver::JoinError::anchor);
    bad = answer();
    bad.next = bad.anchor;
    bad.next[8] = 9;
    EXPECT_EQ(receiver->join(bad), StreamReceiver::JoinError::next);
    bad = answer();
    bad.key[30] = char(bad.key[30] ^ 1);
    EXPECT_EQ(receiver->join(bad), StreamReceiver::JoinError::key);
}

// The layouts of the four kinds, one datagram per rule: lengths by kind, counts and indices.
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
        { make(Kind::manifest, 0, 1, 1, 16 + 16), true },
        { make(Kind::manifest, 0, 1, 1, 16 + 15), false },
        { make(Kind::manifest, 0, 1, 1, 16 + 17), false },
        { make(Kind::manifest, 0, 65, 64, 64 * 16 + 16), true },
        { make(Kind::manifest, 0, 65, 65, 65 * 16 + 16), false },
        { make(Kind::manifest, 64, 65, 2, 2 * 16 + 16), false },
        { make(Kind::manifest, 0, 1, 0, 16), false },
        { make(Kind::key, 0, 1, 0, 30), false },
        { make(Kind(5), 0, 1, 0, 100), false },
    };
    for (const auto& c : cases) {
        const auto header = StreamDatagram::read(bytesOf(c.datagram));
        EXPECT_EQ(bool(header), c.taken) << c.datagram.toHex().toStdString();
        if (header && header->kind == Kind::manifest) {
            EXPECT_EQ(header->sentAt.count(), 77);
        }
    }

    const StreamDisclosure key { 5, 6, 7, { 8 } };
    const QByteArray written = key.write();
    ASSERT_EQ(written.size(), 52);
    const auto read = StreamDisclosure::read(bytesOf(written));
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tuple(read->streamId, read->chain, read->interval, read->key),
        std::tuple(key.streamId, key.chain, key.interval, key.key));
    const ssl::SigningKey signer = ssl::SigningKey::generate();
    const StreamAnchor anchor { 5, 1, 6000, 6000, 100ms, 3, { 4 }, {} };
    const QByteArray signedAnchor = anchor.write(signer);
    ASSERT_EQ(signedAnchor.size(), 124);
    EXPECT_TRUE(StreamAnchor::signedBy(
        bytesOf(signedAnchor), ssl::VerifyingKey::fromRaw(signer.publicKey())));
    EXPECT_TRUE(StreamAnchor::read(bytesOf(signedAnchor + QByteArray(24, '\0'))));
    for (const qsizetype at : { 2, 3 }) {
        QByteArray changed = written;
        changed[at] = 1;
        EXPECT_FALSE(StreamDisclosure::read(bytesOf(changed))) << at;
    }
    // Bytes 2 and 3 must be 0; length, interval and delay not 0; the chain may not run beyond
    // 2^63 intervals.
    for (const auto& [at, size, value] : { std::tuple(2, 1, 1), std::tuple(20, 4, 0),
             std::tuple(24, 2, 0), std::tuple(26, 2, 0), std::tuple(19, 1, 0x80) }) {
        QByteArray changed = signedAnchor;
        changed.replace(at, size, QByteArray(size, char(value)));
        EXPECT_FALSE(StreamAnchor::read(bytesOf(changed))) << at;
    }
    EXPECT_FALSE(StreamAnchor::read(bytesOf(signedAnchor.chopped(1))));
}
