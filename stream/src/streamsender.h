// Internal to libvesk_stream, not API.
#pragma once

#include "messagesink.h"

#include <vesk/streamsealer.h>

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

namespace vesk {

namespace log {
class Logger;
}

namespace detail {

// The engine's way out: seals each message (StreamSealer) with the stream clock's time and sends
// its datagrams on a connected UDP socket's descriptor, counting what went out and what the
// socket refused; while disclosing, a thread of its own sends each interval's key datagram (and
// the next chain's anchor) at the start of the interval. The stream clock counts steady
// milliseconds from the sender's construction; every send time, every interval and the time a
// display joins are read from it.
//
// Threads: the player owns the sender and calls send() on the engine's thread. setDescriptor()
// and startDisclosing() are for the engine's owner while the engine is stopped and nothing is
// disclosed. now(), joining() and the counters may be called from any thread.
class StreamSender : public MessageSink
{
public:
    StreamSender(log::Logger* logger, std::uint32_t streamId,
        std::span<const unsigned char, 32> key, ssl::SigningKey signer,
        StreamSealer::Schedule schedule = {});
    // Stops disclosing.
    ~StreamSender() override;

    void send(const QByteArray& message) override;
    // The connected socket to send on, not owned; -1 when there is no destination.
    void setDescriptor(int descriptor);
    // Starts and stops the thread that sends the keys; stopping joins it.
    void startDisclosing();
    void stopDisclosing();
    std::chrono::milliseconds now() const;
    // What a display joining now needs, with the time read in the same moment.
    StreamSealer::Joining joining();

    quint64 sentDatagrams() const { return m_sent; }
    quint64 droppedDatagrams() const { return m_dropped; }
    quint64 sentBytes() const { return m_sentBytes; }

private:
    void disclose();
    void transmit(const QList<QByteArray>& datagrams);
    // Sends datagrams [first, end) in as few calls as the socket allows; the number sent, or
    // -errno for the first that could not be sent.
    long sendBatch(const QList<QByteArray>& datagrams, qsizetype first);
    void report(int error);

    log::Logger* m_logger;
    const std::uint32_t m_streamId;
    const std::chrono::milliseconds m_interval;
    const std::chrono::steady_clock::time_point m_origin;

    // Guards the sealer: the engine's thread seals, the key thread discloses, HTTP workers ask
    // for the anchors.
    std::mutex m_sealing;
    StreamSealer m_sealer;

    // Guards the socket's sending and what report() remembers of it.
    std::mutex m_sending;
    int m_descriptor = -1;
    int m_lastError = 0;

    // Guards m_stop; m_wake is notified when it is set.
    std::mutex m_disclosing;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_keys;

    std::atomic<quint64> m_sent { 0 };
    std::atomic<quint64> m_dropped { 0 };
    std::atomic<quint64> m_sentBytes { 0 };
};

} // namespace detail
} // namespace vesk
