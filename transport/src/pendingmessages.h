// Internal to libvesk_transport, not API.
#pragma once

#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include <QByteArray>
#include <QHash>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vesk::detail {

// The messages a receiver is putting together: opened by their first accepted manifest, which
// says how many fragments there are and lists the digests they must have, and completed by
// fragments that match. Memory is bounded by the receiver's limits: the oldest incomplete message
// is dropped to make room, and one that waited `timeout` since its manifest is dropped too.
class PendingMessages
{
public:
    using Clock = StreamReceiver::Clock;

    struct Message
    {
        Clock::time_point opened;
        std::vector<StreamDatagram::Digest> digests;
        std::vector<bool> listed;
        std::vector<QByteArray> fragments;
        std::size_t received = 0;
        std::size_t bytes = 0;
    };

    // `counters` counts the messages completed and dropped; it outlives this object.
    PendingMessages(const StreamReceiver::Limits& limits, StreamReceiver::Counters& counters)
        : m_limits(limits)
        , m_counters(counters)
    {
    }

    Message* find(std::uint32_t sequence);
    // A new, empty message of `count` fragments, room made for it. Null, and counted as dropped,
    // when the limits leave no room for it.
    Message* open(std::uint32_t sequence, std::uint16_t count, Clock::time_point now);
    // Stores the plaintext of fragment `index` of an open message and hands out the message once
    // all of its fragments are there. Nothing when the fragment is there already or the limits
    // leave no room (then the message is dropped).
    std::optional<QByteArray> store(std::uint32_t sequence, std::uint16_t index, QByteArray plain);
    void drop(std::uint32_t sequence);
    void expire(Clock::time_point now);
    // Drops every incomplete message: the end of a run.
    void clear();

    std::size_t size() const { return std::size_t(m_messages.size()); }
    std::size_t bytes() const { return m_bytes; }

private:
    using Messages = QHash<std::uint32_t, Message>;

    Messages::iterator drop(Messages::iterator it);
    // Makes room for `length` more bytes (and a new message when `isNew`), the oldest incomplete
    // messages first, never the one of `sequence`. False when that is not enough.
    bool makeRoom(std::uint32_t sequence, bool isNew, std::size_t length);

    const StreamReceiver::Limits& m_limits;
    StreamReceiver::Counters& m_counters;
    Messages m_messages;
    std::size_t m_bytes = 0;
};

} // namespace vesk::detail
