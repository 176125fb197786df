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
        while (::poll(&readable, 1, int(datagrams.isEmpty() ? patience.count() : 200)) > 0) {
            QByteArray datagram(2048, Qt::Uninitialized);
            const ssize_t got = ::recv(descriptor, datagram.data(), 2048, 0);
            datagram.truncate(got);
            datagrams.append(datagram);
        }
        return datagrams;
    }
};

} // namespace

// The sender seals with its own clock and puts every datagram on the wire, in order, counting
// them; without a destination it counts them as dropped and sends nothing.
TEST_F(StreamTransport, TheSenderSealsSendsAndCountsEveryDatagram)
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
    const std::chrono::milliseconds joined = sender.now();
    std::vector<QByteArray> messages;
    for (qsizetype size : { 0, 1200, 5000, 64 * 1200 + 1, 300000 }) {
        messages.push_back(makeMessage(size, unsigned(size)));
        sender.send(messages.back());
    }
    const QList<QByteArray> wire = display.receive(10s);
    ASSERT_EQ(quint64(wire.size()), sender.sentDatagrams());
    EXPECT_EQ(sender.droppedDatagrams(), 6u);
    quint64 bytes = 0;
    for (const QByteArray& datagram : wire) {
        bytes += quint64(datagram.size());
        const auto header = StreamDatagram::read(bytesOf(datagram));
        ASSERT_TRUE(header);
        if (header->kind == StreamDatagram::Kind::manifest) {
            EXPECT_GE(header->sentAt, joined);
            EXPECT_LE(header->sentAt, sender.now());
        }
    }
    EXPECT_EQ(bytes, sender.sentBytes());

    // A display that joined when the sender's clock read `joined` takes all of it.
    StreamReceiver receiver(streamId, key, signerKey, joined);
    EXPECT_EQ(feed(receiver, wire), messages);
    EXPECT_EQ(receiver.counters().rejected(), 0u);
}
