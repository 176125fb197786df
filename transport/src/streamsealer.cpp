#include "intervalmac.h"
#include "keychain.h"

#include <vesk/ssl/error.h>
#include <vesk/streamanchor.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamdisclosure.h>
#include <vesk/streamsealer.h>

#include <QtEndian>

#include <openssl/rand.h>

#include <algorithm>
#include <limits>

namespace vesk {

struct StreamSealer::Chain
{
    detail::KeyChain keys;
    QByteArray anchor;
};

namespace {

void randomBytes(std::span<std::uint8_t> out)
{
    if (RAND_bytes(out.data(), int(out.size())) != 1)
        throw ssl::Error::fromOpenSsl("cannot draw a chain key");
}

} // namespace

StreamSealer::StreamSealer(
    std::uint32_t streamId, std::span<const unsigned char, 32> key, ssl::SigningKey signer)
    : StreamSealer(streamId, key, std::move(signer), Schedule())
{
}

StreamSealer::StreamSealer(std::uint32_t streamId, std::span<const unsigned char, 32> key,
    ssl::SigningKey signer, Schedule schedule, RandomSource random)
    : m_streamId(streamId)
    , m_cipher(key)
    , m_signer(std::move(signer))
    , m_schedule(schedule)
    , m_random(random ? std::move(random) : RandomSource(randomBytes))
{
    chainFor(0);
}

StreamSealer::~StreamSealer() = default;

std::uint64_t StreamSealer::intervalOf(std::chrono::milliseconds at) const
{
    return std::uint64_t(std::max<std::int64_t>(0, at.count()))
        / std::uint64_t(m_schedule.interval.count());
}

StreamSealer::Chain* StreamSealer::held(std::uint64_t interval)
{
    for (const auto& chain : m_chains)
        if (chain->keys.covers(interval))
            return chain.get();
    return nullptr;
}

// Chains follow each other without a gap, unless nothing asked for one past the newest chain's
// end for longer than a chain: then the new one begins where it is asked for.
//   newest 0..5999, asked 6100   -> chain 6000..11999
//   newest 0..5999, asked 13000  -> chain 13000..18999
StreamSealer::Chain* StreamSealer::chainFor(std::uint64_t interval)
{
    if (Chain* chain = held(interval))
        return chain;
    const std::uint32_t length = m_schedule.chainLength;
    std::uint32_t number = 0;
    std::uint64_t first = 0;
    if (!m_chains.empty()) {
        const detail::KeyChain& newest = m_chains.back()->keys;
        if (interval < newest.end())
            return nullptr;
        number = newest.number() + 1;
        first = interval - newest.end() < length ? newest.end() : interval;
    }
    Key top;
    m_random(top);
    auto chain
        = std::make_unique<Chain>(Chain { detail::KeyChain(number, first, length, top), {} });
    StreamAnchor anchor;
    anchor.streamId = m_streamId;
    anchor.chain = number;
    anchor.first = first;
    anchor.length = length;
    anchor.interval = m_schedule.interval;
    anchor.delay = m_schedule.delay;
    anchor.commitment = chain->keys.commitment();
    chain->anchor = anchor.write(m_signer);
    m_chains.push_back(std::move(chain));
    return m_chains.back().get();
}

QList<QByteArray> StreamSealer::seal(const QByteArray& message, std::chrono::milliseconds sentAt)
{
    constexpr std::size_t payload = StreamDatagram::maxPayload;
    constexpr std::size_t perManifest = StreamDatagram::maxDigests;
    const std::size_t size = std::size_t(message.size());
    const std::size_t count = std::max<std::size_t>(1, (size + payload - 1) / payload);
    if (count > StreamDatagram::maxFragments)
        return {};
    const std::size_t manifests = (count + perManifest - 1) / perManifest;
    // The counter must never wrap: a repeated IV under one key gives the key's authentication
    // away. 2^64 datagrams will not be sent, but refuse rather than wrap.
    if (std::numeric_limits<std::uint64_t>::max() - m_counter < count + manifests)
        return {};
    // A key that is out MACs nothing more: anybody could have made what it would MAC.
    const std::uint64_t interval = intervalOf(sentAt);
    if (m_disclosed && interval <= *m_disclosed)
        return {};
    const Chain* chain = chainFor(interval);
    if (!chain)
        return {};
    detail::IntervalMac mac(chain->keys.keyOf(interval));

    QList<QByteArray> datagrams;
    datagrams.reserve(qsizetype(count + manifests));
    StreamDatagram header;
    header.streamId = m_streamId;
    header.sequence = m_sequence++;
    header.count = std::uint16_t(count);
    header.sentAt = sentAt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.constData());
    for (std::size_t first = 0; first < count; first += perManifest) {
        const std::size_t listed = std::min(perManifest, count - first);
        StreamDatagram manifestHeader = header;
        manifestHeader.kind = StreamDatagram::Kind::manifest;
        manifestHeader.index = std::uint16_t(first);
        manifestHeader.counter = m_counter++;
        manifestHeader.digestCount = std::uint16_t(listed);
        QByteArray manifest;
        manifest.reserve(qsizetype(StreamDatagram::manifestFixedSize
            + listed * StreamDatagram::digestSize + StreamDatagram::macSize));
        manifestHeader.write(manifest);
        const qsizetype manifestAt = datagrams.size();
        datagrams.append(QByteArray());

        for (std::size_t index = first; index < first + listed; ++index) {
            const std::size_t offset = index * payload;
            const std::size_t length = std::min(payload, size - std::min(size, offset));
            header.index = std::uint16_t(index);
            header.counter = m_counter++;
            QByteArray fragment = sealFragment(header, { bytes + offset, length });
            const StreamDatagram::Digest digest = StreamDatagram::digestOf(
                { reinterpret_cast<const std::uint8_t*>(fragment.constData()),
                    std::size_t(fragment.size()) });
            manifest.append(reinterpret_cast<const char*>(digest.data()), qsizetype(digest.size()));
            datagrams.append(std::move(fragment));
        }
        const StreamDatagram::Mac tag
            = mac.of({ reinterpret_cast<const std::uint8_t*>(manifest.constData()),
                std::size_t(manifest.size()) });
        manifest.append(reinterpret_cast<const char*>(tag.data()), qsizetype(tag.size()));
        datagrams[manifestAt] = std::move(manifest);
    }
    return datagrams;
}

QByteArray StreamSealer::sealFragment(StreamDatagram header, std::span<const std::uint8_t> piece)
{
    QByteArray datagram;
    datagram.reserve(qsizetype(piece.size() + StreamDatagram::fragmentOverhead));
    header.kind = StreamDatagram::Kind::fragment;
    header.write(datagram);
    datagram.resize(qsizetype(piece.size() + StreamDatagram::fragmentOverhead));
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(datagram.data()), std::size_t(datagram.size()));
    m_cipher.encrypt(StreamDatagram::iv(out), StreamDatagram::header(out), piece,
        out.data() + StreamDatagram::headerSize, out.last<StreamDatagram::tagSize>());
    return datagram;
}

QList<QByteArray> StreamSealer::disclose(std::chrono::milliseconds now)
{
    QList<QByteArray> due;
    const std::uint64_t interval = intervalOf(now);
    if (interval >= m_schedule.delay) {
        const std::uint64_t disclosed = interval - m_schedule.delay;
        if (!m_disclosed || disclosed > *m_disclosed) {
            if (const Chain* chain = held(disclosed)) {
                StreamDisclosure key;
                key.streamId = m_streamId;
                key.chain = chain->keys.number();
                key.interval = disclosed;
                key.key = chain->keys.keyOf(disclosed);
                m_newestKey = key.write();
                due.append(m_newestKey);
            }
            m_disclosed = disclosed;
        }
    }
    // The chain of now is kept going even when nothing is sealed, so keys never stop.
    const Chain* current = chainFor(interval);
    if (current && current->keys.end() - interval <= m_schedule.renewal) {
        const Chain* next = chainFor(current->keys.end());
        if (!m_announced || interval >= *m_announced + m_schedule.announceEvery) {
            due.append(announcement(*next, *current, now));
            m_announced = interval;
        }
    }
    while (m_chains.size() > 1 && m_disclosed && m_chains.front()->keys.end() <= *m_disclosed + 1)
        m_chains.pop_front();
    return due;
}

// The next chain's anchor, its send time and the MAC under the current chain's key of now.
QByteArray StreamSealer::announcement(
    const Chain& next, const Chain& current, std::chrono::milliseconds now)
{
    QByteArray datagram = next.anchor;
    std::uint8_t sent[8];
    qToLittleEndian(std::uint64_t(now.count()), sent);
    datagram.append(reinterpret_cast<const char*>(sent), sizeof sent);
    const StreamDatagram::Mac tag
        = detail::IntervalMac(current.keys.keyOf(intervalOf(now)))
              .of({ reinterpret_cast<const std::uint8_t*>(datagram.constData()),
                  std::size_t(datagram.size()) });
    datagram.append(reinterpret_cast<const char*>(tag.data()), qsizetype(tag.size()));
    return datagram;
}

StreamSealer::Joining StreamSealer::joining(std::chrono::milliseconds now)
{
    Joining joining;
    joining.clock = now;
    const Chain* current = chainFor(intervalOf(now));
    if (current) {
        joining.anchor = current->anchor;
        if (const Chain* next = held(current->keys.end()))
            joining.next = next->anchor;
    }
    joining.key = m_newestKey;
    return joining;
}

} // namespace vesk
