#include "streamsender.h"
#include "streamtransporttest.h"

#include <vesk/log.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vesk;
using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

// A UDP socket on loopback; `connectTo` makes it the sending side.
struct LoopbackSocket
{
    int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};

    LoopbackSocket()
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const int buffer = 8 * 1024 * 1024;
        ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        EXPECT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    }
    ~LoopbackSocket() { ::close(descriptor); }

    void connectTo(const LoopbackSocket& other)
    {
        ASSERT_EQ(::connect(descriptor, reinterpret_cast<const sockaddr*>(&other.address),
                      sizeof other.address),
            0);
    }

    // What has arrived, waiting at most `patience` for the first datagram and a moment for
    // each further one.
    QList<QByteArray> receive(std::chrono::milliseconds patience)
    {
        QList<QByteArray> datagrams;
        pollfd readable { descriptor, POLLIN, 0 };
        while (::poll(&readable, 1, int(datagrams.isEmpty() ? patience.count() : 20)) > 0) {
            QByteArray datagram(2048, Qt::Uninitialized);
            const ssize_t got = ::recv(descriptor, datagram.data(), 2048, 0);
            datagram.truncate(got);
            datagrams.append(datagram);
        }
        return datagrams;
    }
};

} // namespace

// The sender seals with its own clock and puts every datagram on the wire, counting them, and its
// key thread discloses the keys at the start of each interval; without a destination it counts
// the datagrams as dropped and sends nothing. A display that joins takes all of it.
TEST_F(StreamTransport, TheSenderSealsSendsDisclosesAndCountsEveryDatagram)
{
    LoopbackSocket display;
    LoopbackSocket engine;
    engine.connectTo(display);
    detail::StreamSender sender(log::Manager::logger("vesk.stream"), streamId, key, signer);

    sender.send(makeMessage(5000, 1));
    EXPECT_EQ(sender.droppedDatagrams(), 6u);
    EXPECT_EQ(sender.sentDatagrams(), 0u);
    EXPECT_TRUE(display.receive(100ms).isEmpty());

    sender.setDescriptor(engine.descriptor);
    const auto asked = StreamReceiver::Clock::now();
    const StreamSealer::Joining joining = sender.joining();
    StreamReceiver receiver(streamId, key, signerKey);
    ASSERT_EQ(receiver.join({ joining.clock, asked, StreamReceiver::Clock::now(), joining.anchor,
                  joining.next, joining.key }),
        StreamReceiver::JoinError::none);
    sender.startDisclosing();
    std::vector<QByteArray> messages;
    for (qsizetype size : { 0, 1200, 5000, 64 * 1200 + 1, 300000 }) {
        messages.push_back(makeMessage(size, unsigned(size)));
        sender.send(messages.back());
    }
    std::vector<QByteArray> received;
    QList<QByteArray> wire;
    const auto deadline = StreamReceiver::Clock::now() + 10s;
    while (received.size() < messages.size() && StreamReceiver::Clock::now() < deadline)
        for (const QByteArray& datagram : display.receive(1000ms)) {
            wire.append(datagram);
            for (QByteArray& message : receiver.addDatagram(
                     bytesOf(datagram), registerSource, StreamReceiver::Clock::now()))
                received.push_back(message);
        }
    sender.stopDisclosing();
    wire += display.receive(100ms);
    EXPECT_EQ(received, messages);
    EXPECT_EQ(receiver.counters().rejected(), 0u);
    ASSERT_EQ(quint64(wire.size()), sender.sentDatagrams());
    EXPECT_EQ(sender.droppedDatagrams(), 6u);
    quint64 bytes = 0;
    std::optional<std::uint64_t> lastKey;
    for (const QByteArray& datagram : wire) {
        bytes += quint64(datagram.size());
        if (const auto header = StreamDatagram::read(bytesOf(datagram))) {
            if (header->kind == StreamDatagram::Kind::manifest) {
                EXPECT_GE(header->sentAt, joining.clock);
                EXPECT_LE(header->sentAt, sender.now());
            }
        } else if (const auto disclosed = StreamDisclosure::read(bytesOf(datagram))) {
            // In order, each once, none before it is due.
            EXPECT_TRUE(!lastKey || disclosed->interval > *lastKey);
            lastKey = disclosed->interval;
            EXPECT_LE(std::int64_t(disclosed->interval + 3) * 100, sender.now().count());
        }
    }
    EXPECT_TRUE(lastKey);
    EXPECT_EQ(bytes, sender.sentBytes());
}
