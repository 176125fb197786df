// Internal to libvesk_stream, not API.
#pragma once

#include "messagesink.h"

#include <vesk/streamsealer.h>

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

namespace vesk {

namespace log {
class Logger;
}

namespace detail {

// The engine's way out: seals each message (StreamSealer) with the stream clock's time and sends
// its datagrams on a connected UDP socket's descriptor, counting what went out and what the
// socket refused. The stream clock counts steady milliseconds from the sender's construction;
// the send time in every manifest is read from it, and so is the time a display joins.
//
// Threads: the player owns the sender and calls send() on the engine's thread. setDescriptor()
// is for the engine's owner while the engine is stopped. now() and the counters may be read
// from any thread.
class StreamSender : public MessageSink
{
public:
    StreamSender(log::Logger* logger, std::uint32_t streamId,
        std::span<const unsigned char, 32> key, ssl::SigningKey signer);

    void send(const QByteArray& message) override;
    // The connected socket to send on, not owned; -1 when there is no destination.
    void setDescriptor(int descriptor);
    std::chrono::milliseconds now() const;

    quint64 sentDatagrams() const { return m_sent; }
    quint64 droppedDatagrams() const { return m_dropped; }
    quint64 sentBytes() const { return m_sentBytes; }

private:
    // Sends datagrams [first, end) in as few calls as the socket allows; the number sent, or
    // -errno for the first that could not be sent.
    long sendBatch(const QList<QByteArray>& datagrams, qsizetype first);
    void report(int error);

    log::Logger* m_logger;
    StreamSealer m_sealer;
    const std::chrono::steady_clock::time_point m_origin;
    int m_descriptor = -1;
    int m_lastError = 0;
    std::atomic<quint64> m_sent { 0 };
    std::atomic<quint64> m_dropped { 0 };
    std::atomic<quint64> m_sentBytes { 0 };
};

} // namespace detail
} // namespace vesk
