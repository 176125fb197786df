// What the transport's tests share: keys, messages, a register and a display in virtual time, and
// datagrams made by hand, as anybody who knows the stream key (every display does) or a key of the
// register's chains (anybody, once it is disclosed) can make them.
#pragma once

#include "intervalmac.h"
#include "keychain.h"

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/streamanchor.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamdisclosure.h>
#include <vesk/streamreceiver.h>
#include <vesk/streamsealer.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <array>
#include <chrono>
#include <numeric>
#include <random>
#include <span>
#include <vector>

namespace vesk::test {

using namespace std::chrono_literals;

constexpr std::uint32_t streamId = 0x1234ABCD;
// Where the register's datagrams come from, and somebody else's.
constexpr StreamReceiver::Source registerSource = 0x7f0000011f90;
constexpr StreamReceiver::Source elsewhere = 0x7f0000021f90;

inline std::array<unsigned char, 32> makeKey(unsigned char seed)
{
    std::array<unsigned char, 32> key {};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<unsigned char>(seed + 7 * i);
    return key;
}

inline QByteArray makeMessage(qsizetype size, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray message(size, Qt::Uninitialized);
    for (char& c : message)
        c = char(random());
    return message;
}

inline std::span<const std::uint8_t> bytesOf(const QByteArray& datagram)
{
    return { reinterpret_cast<const std::uint8_t*>(datagram.constData()),
        std::size_t(datagram.size()) };
}

inline StreamDatagram fragmentHeader(
    std::uint32_t sequence, std::uint16_t index, std::uint16_t count, std::uint64_t counter)
{
    StreamDatagram header;
    header.streamId = streamId;
    header.sequence = sequence;
    header.index = index;
    header.count = count;
    header.counter = counter;
    return header;
}

// The top keys the test register draws: chain n gets 32 bytes of n + 1.
inline StreamSealer::RandomSource countingRandom()
{
    return
        [n = std::uint8_t(0)](std::span<std::uint8_t> out) mutable { std::ranges::fill(out, ++n); };
}

// Datagrams from any header: a fragment sealed under `key`, a manifest MACed under `chain`'s key
// of its send time's interval (any chain anybody may make, or a copy of the register's).
struct Forger
{
    std::array<unsigned char, 32> key;
    detail::KeyChain chain;

    QByteArray fragment(StreamDatagram header, const QByteArray& payload) const
    {
        header.kind = StreamDatagram::Kind::fragment;
        QByteArray datagram;
        header.write(datagram);
        datagram.resize(qsizetype(StreamDatagram::fragmentOverhead) + payload.size());
        const std::span<std::uint8_t> out(
            reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
        ssl::AesGcm(key).encrypt(StreamDatagram::iv(out), StreamDatagram::header(out),
            bytesOf(payload), out.data() + StreamDatagram::headerSize, out.last<16>());
        return datagram;
    }

    // Lists the digests of `fragments` from header.index on, with its own counter and send time.
    QByteArray manifest(StreamDatagram header, const QList<QByteArray>& fragments) const
    {
        header.kind = StreamDatagram::Kind::manifest;
        header.digestCount = std::uint16_t(fragments.size());
        QByteArray datagram;
        header.write(datagram);
        for (const QByteArray& fragment : fragments) {
            const StreamDatagram::Digest digest = StreamDatagram::digestOf(bytesOf(fragment));
            datagram.append(reinterpret_cast<const char*>(digest.data()), 16);
        }
        return maced(datagram, header.sentAt);
    }

    // `bytes` with the MAC of the interval of `sentAt` (100 ms intervals) appended.
    QByteArray maced(QByteArray bytes, std::chrono::milliseconds sentAt) const
    {
        const std::uint64_t interval = std::uint64_t(sentAt.count() / 100);
        const StreamDatagram::Mac mac = detail::IntervalMac(
            chain.covers(interval) ? chain.keyOf(interval) : detail::KeyChain::Key {})
                                            .of(bytesOf(bytes));
        bytes.append(reinterpret_cast<const char*>(mac.data()), qsizetype(mac.size()));
        return bytes;
    }

    // An anchor datagram for `anchor`, signed by `signer`, sent at `sentAt`.
    QByteArray anchor(const StreamAnchor& anchor, const ssl::SigningKey& signer,
        std::chrono::milliseconds sentAt) const
    {
        QByteArray bytes = anchor.write(signer);
        std::uint8_t sent[8];
        qToLittleEndian(std::uint64_t(sentAt.count()), sent);
        bytes.append(reinterpret_cast<const char*>(sent), 8);
        return maced(bytes, sentAt);
    }
};

// A register and a display on a network without delay, in virtual time: the register's stream
// clock and the display's steady clock advance together.
class StreamTransport : public ::testing::Test
{
protected:
    using Limits = StreamReceiver::Limits;
    using Counters = StreamReceiver::Counters;

    std::array<unsigned char, 32> key = makeKey(1);
    ssl::SigningKey signer = ssl::SigningKey::generate();
    std::array<std::uint8_t, 32> signerKey = signer.publicKey();
    StreamSealer sealer { streamId, key, signer, StreamSealer::Schedule(), countingRandom() };
    // A copy of the register's chain 0: what the register itself, or anybody once a key is out,
    // can MAC with.
    Forger registerItself { key, detail::KeyChain(0, 0, 6000, detail::KeyChain::Key { [] {
                               detail::KeyChain::Key top;
                               top.fill(1);
                               return top;
                           }() }) };
    // A chain nobody else knows.
    Forger intruder { key, detail::KeyChain(0, 0, 6000, detail::KeyChain::Key { 9 }) };
    // The register's clock, and ours at the same moment.
    std::chrono::milliseconds clock { 60000 };
    StreamReceiver::Clock::time_point now { std::chrono::seconds(1000) };
    // Key datagrams pass() has fed.
    std::uint64_t keysSent = 0;

    // The key datagram of an interval of chain 0.
    QByteArray disclosure(std::uint64_t interval) const
    {
        return StreamDisclosure { streamId, 0, interval, registerItself.chain.keyOf(interval) }
            .write();
    }

    // What stream/connect answers now: the anchors and the newest key out.
    StreamReceiver::Join answer()
    {
        const StreamSealer::Joining joining = sealer.joining(clock);
        return { clock, now, now, joining.anchor, joining.next,
            disclosure(std::uint64_t(clock / 100ms) - 3) };
    }

    std::unique_ptr<StreamReceiver> joined(Limits limits = Limits())
    {
        auto receiver = std::make_unique<StreamReceiver>(streamId, key, signerKey, limits);
        EXPECT_EQ(receiver->join(answer()), StreamReceiver::JoinError::none);
        return receiver;
    }

    std::vector<QByteArray> feed(StreamReceiver& receiver, const QList<QByteArray>& datagrams,
        StreamReceiver::Source source = registerSource)
    {
        std::vector<QByteArray> messages;
        for (const QByteArray& datagram : datagrams)
            for (QByteArray& message : receiver.addDatagram(bytesOf(datagram), source, now))
                messages.push_back(std::move(message));
        return messages;
    }

    // Lets `span` pass, the register disclosing the keys of chain 0 at the start of every
    // interval.
    std::vector<QByteArray> pass(StreamReceiver& receiver, std::chrono::milliseconds span)
    {
        std::vector<QByteArray> messages;
        for (const auto end = clock + span; clock < end;) {
            const auto step = std::min(end - clock, 100ms - clock % 100ms);
            clock += step;
            now += step;
            if (clock % 100ms != 0ms)
                continue;
            ++keysSent;
            for (QByteArray& message :
                feed(receiver, { disclosure(std::uint64_t(clock / 100ms) - 3) }))
                messages.push_back(std::move(message));
        }
        return messages;
    }

    // The message sealed now, fed, and what comes out until its key is in.
    std::vector<QByteArray> roundTrip(StreamReceiver& receiver, const QByteArray& message)
    {
        std::vector<QByteArray> out = feed(receiver, sealer.seal(message, clock));
        for (QByteArray& m : pass(receiver, 400ms))
            out.push_back(std::move(m));
        return out;
    }
};

} // namespace vesk::test
