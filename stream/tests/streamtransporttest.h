// What the transport's tests share: keys, messages, and datagrams made by hand, as anybody who
// knows the stream key (every display does) or holds a signing key can make them.
#pragma once

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/signingkey.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>
#include <vesk/streamsealer.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>

#include <array>
#include <chrono>
#include <random>
#include <span>
#include <vector>

namespace vesk::test {

constexpr std::uint32_t streamId = 0x1234ABCD;

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

// Datagrams from any header: a fragment sealed under `key`, a manifest signed by `signer`.
struct Forger
{
    std::array<unsigned char, 32> key;
    const ssl::SigningKey* signer;

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
        datagram.resize(datagram.size() + 64);
        const std::span<std::uint8_t> out(
            reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
        signer->sign(StreamDatagram::signedPart(out), out.last<64>());
        return datagram;
    }
};

class StreamTransport : public ::testing::Test
{
protected:
    using Limits = StreamReceiver::Limits;

    std::array<unsigned char, 32> key = makeKey(1);
    ssl::SigningKey signer = ssl::SigningKey::generate();
    std::array<std::uint8_t, 32> signerKey = signer.publicKey();
    StreamSealer sealer { streamId, key, signer };
    StreamReceiver::Clock::time_point now { std::chrono::seconds(1000) };
    std::chrono::milliseconds joinedAt { 60000 };

    std::vector<QByteArray> feed(StreamReceiver& receiver, const QList<QByteArray>& datagrams)
    {
        std::vector<QByteArray> messages;
        for (const QByteArray& datagram : datagrams)
            if (auto message = receiver.addDatagram(bytesOf(datagram), now))
                messages.push_back(*message);
        return messages;
    }
};

} // namespace vesk::test
