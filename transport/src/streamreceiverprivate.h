// Internal to libvesk_transport, not API.
#pragma once

#include "pendingmessages.h"
#include "receiverchains.h"
#include "replaywindow.h"
#include "waitingdatagrams.h"

#include <vesk/ssl/aesgcm.h>
#include <vesk/ssl/verifyingkey.h>
#include <vesk/streamanchor.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamdisclosure.h>
#include <vesk/streamreceiver.h>

#include <QByteArray>
#include <QList>

#include <optional>
#include <random>
#include <span>

namespace vesk {

// The receiver's state and its steps: the checks on arrival (streamreceiver.cpp) and the
// judging of what waited once its key comes (streamreceiversettle.cpp).
struct StreamReceiver::Private
{
    using Digest = StreamDatagram::Digest;
    using PendingMessages = detail::PendingMessages;
    using ReceiverChains = detail::ReceiverChains;
    using WaitingDatagrams = detail::WaitingDatagrams;
    using Waiting = WaitingDatagrams::Datagram;

    Private(std::uint32_t id, std::span<const unsigned char, keySize> key,
        std::span<const std::uint8_t, signerKeySize> signerKey, Limits l)
        : streamId(id)
        , limits(l)
        , cipher(key)
        , signer(ssl::VerifyingKey::fromRaw(signerKey))
        , chains(l.drift)
        , pending(limits, counters)
        , pool({ l.maxWaiting, l.maxWaitingBytes, l.maxWaitingPerInterval,
                   l.maxWaitingBytesPerInterval },
              l.seed ? l.seed : std::random_device()())
        , tokens(l.anchorChecks)
    {
    }

    JoinError join(const Join& join, QList<QByteArray>& completed);
    // The checks every datagram must pass before anything may change, then the kind's own.
    void take(std::span<const std::uint8_t> datagram, Source source, Clock::time_point now,
        QList<QByteArray>& completed);
    void takeManifest(std::span<const std::uint8_t> datagram, const StreamDatagram& header,
        Source source, Clock::time_point now);
    void takeFragment(std::span<const std::uint8_t> datagram, const StreamDatagram& header,
        Source source, Clock::time_point now, QList<QByteArray>& completed);
    void takeKey(const StreamDisclosure& key, Clock::time_point now, QList<QByteArray>& completed);
    void takeAnchor(std::span<const std::uint8_t> datagram, const StreamAnchor& anchor,
        Source source, Clock::time_point now);
    // Waits for a key or a manifest; counts what the pool does not keep.
    void wait(Waiting datagram);

    // Judges what waited for the intervals of `keys`, now that they are known.
    void settle(
        const ReceiverChains::Keys& keys, Clock::time_point now, QList<QByteArray>& completed);
    void acceptManifest(
        const Waiting& manifest, Clock::time_point now, QList<QByteArray>& completed);
    void acceptAnchor(const Waiting& anchor);
    // A fragment whose manifest was accepted: it must be the one listed, sealed and new.
    void takeListed(std::span<const std::uint8_t> datagram, const StreamDatagram& header,
        const Digest& digest, const Digest& listed, QList<QByteArray>& completed);
    bool admitsEarly(std::uint32_t sequence) const;
    // A signature check of an in-band anchor, if the bucket has one left at `now`.
    bool spendCheck(Clock::time_point now);
    void expire(Clock::time_point now);

    std::uint32_t streamId;
    Limits limits;
    ssl::AesGcm cipher;
    ssl::VerifyingKey signer;
    Counters counters;
    detail::ReplayWindow<replayWindow> replay;
    ReceiverChains chains;
    PendingMessages pending;
    WaitingDatagrams pool;
    // The sequence of the newest manifest accepted; fragments far from it do not wait.
    std::optional<std::uint32_t> newestSequence;
    // Where the newest datagram that proved to be the register's came from.
    std::optional<Source> registers;
    // Signature checks left, and when the bucket was last refilled.
    std::uint32_t tokens;
    std::optional<Clock::time_point> refilled;
};

inline std::span<const std::uint8_t> bytesOf(const QByteArray& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()) };
}

} // namespace vesk
