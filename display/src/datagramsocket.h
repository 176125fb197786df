// Internal to vesk-display, not API.
#pragma once

#include <QHostAddress>
#include <QString>

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vesk::display {

// The display's UDP socket: bound to the stream's port on every address (shared with other
// receivers on the machine), in the multicast group when the stream goes to one, non-blocking,
// and read in batches with one system call. A datagram longer than maxDatagram is handed on cut
// to that length; the receiver refuses it as too long.
class DatagramSocket
{
public:
    static constexpr std::size_t batch = 32;
    static constexpr std::size_t maxDatagram = 2048;

    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // `group` is null for a unicast stream. False, with `error` set, when the socket cannot be
    // made, bound or joined to the group.
    bool open(quint16 port, const QHostAddress& group, QString& error);
    int descriptor() const { return m_descriptor; }

    // Reads the datagrams waiting, at most `batch`, without blocking, and hands each to `take`
    // with its source: the sender's IPv4 address and port as one number. The number read: 0 when
    // none waited or the socket reported an error.
    template <typename Take> std::size_t receive(Take&& take)
    {
        const std::size_t count = receiveBatch();
        for (std::size_t i = 0; i < count; ++i)
            take(std::span<const std::uint8_t>(m_buffers[i].data(), m_lengths[i]), m_sources[i]);
        return count;
    }

private:
    std::size_t receiveBatch();

    int m_descriptor = -1;
    std::array<std::array<std::uint8_t, maxDatagram>, batch> m_buffers {};
    std::array<std::size_t, batch> m_lengths {};
    std::array<std::uint64_t, batch> m_sources {};
};

} // namespace vesk::display
