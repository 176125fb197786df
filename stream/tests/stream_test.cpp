#include <vesk/decoder.h>
#include <vesk/file/fileoperations.h>
#include <vesk/stream.h>
#include <vesk/streamdatagram.h>
#include <vesk/streamreceiver.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWeakPointer>
#include <QtEndian>

#include <array>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

using namespace vesk;

namespace {

std::array<unsigned char, 32> keyOf(const Stream& stream)
{
    std::array<unsigned char, 32> key {};
    stream.getKey(key);
    return key;
}

// The kernel's own view of our UDP socket: the peer of the socket bound to `localPort` in the
// form of /proc/net/udp ("0100007F:1388" for 127.0.0.1:5000), or empty when there is none.
QString kernelPeerOf(quint16 localPort)
{
    QFile table("/proc/net/udp");
    if (!table.open(QIODevice::ReadOnly))
        return "<no /proc/net/udp>";
    const QString local = QString(":%1").arg(localPort, 4, 16, QChar('0')).toUpper();
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 2 && QString::fromLatin1(fields[1]).endsWith(local))
            return QString::fromLatin1(fields[2]);
    }
    return {};
}

QString procForm(const QHostAddress& address, quint16 port)
{
    return QString("%1:%2")
        .arg(qToBigEndian(address.toIPv4Address()), 8, 16, QChar('0'))
        .arg(port, 4, 16, QChar('0'))
        .toUpper();
}

} // namespace

TEST(StreamIdentity, StableForOneEngineAndDifferentBetweenEngines)
{
    const auto first = QSharedPointer<Stream>::create();
    const auto second = QSharedPointer<Stream>::create();

    EXPECT_EQ(keyOf(*first), keyOf(*first));
    EXPECT_EQ(first->streamId(), first->streamId());
    EXPECT_NE(first->streamId(), 0u);

    EXPECT_NE(keyOf(*first), keyOf(*second));
    EXPECT_NE(first->streamId(), second->streamId());
    EXPECT_NE(keyOf(*first), (std::array<unsigned char, 32> {}));

    // Using the engine does not change who it is.
    const auto key = keyOf(*first);
    const auto id = first->streamId();
    first->setProgramme({}, "/work", QSharedPointer<Generator>::create(), {});
    first->connectToHost(QHostAddress::LocalHost, 8554);
    EXPECT_EQ(keyOf(*first), key);
    EXPECT_EQ(first->streamId(), id);
}

TEST(StreamIdentity, KeysLookRandom)
{
    // A constant, a counter or a clock-seeded generator would repeat or cluster bytes.
    std::set<std::array<unsigned char, 32>> keys;
    std::set<std::uint32_t> ids;
    std::array<int, 256> byteCounts {};
    constexpr int engines = 64;
    for (int i = 0; i < engines; ++i) {
        Stream stream;
        const auto key = keyOf(stream);
        keys.insert(key);
        ids.insert(stream.streamId());
        for (unsigned char byte : key)
            ++byteCounts[byte];
    }
    EXPECT_EQ(keys.size(), std::size_t(engines));
    EXPECT_EQ(ids.size(), std::size_t(engines));
    // 2048 bytes over 256 values: 8 expected per value; 40 would be far beyond chance.
    for (int count : byteCounts)
        EXPECT_LT(count, 40);
}

TEST(StreamSettings, StoresWhatTheCoreGives)
{
    Stream stream;
    EXPECT_EQ(stream.peerPort(), 0);
    EXPECT_TRUE(stream.peerAddress().isNull());
    EXPECT_EQ(stream.programme().serial, 0u);

    Playlist playlist;
    playlist.section = "main";
    Playlist::File file;
    file.url = "a.mp4";
    file.timeplay = std::chrono::seconds(10);
    playlist.files = { file };
    auto generator = QSharedPointer<Generator>::create();
    generator->setPlaylists({ playlist });
    stream.setProgramme({}, "/var/lib/morlen-vesk/work_dir_b", generator, "placeholder.mp4");
    const Stream::Programme programme = stream.programme();
    EXPECT_EQ(programme.directory, "/var/lib/morlen-vesk/work_dir_b");
    EXPECT_EQ(programme.placeholder, "placeholder.mp4");
    EXPECT_EQ(programme.playlists, QStringList({ "main" }));
    EXPECT_EQ(programme.serial, 1u);
    stream.setProgramme({}, "/var/lib/morlen-vesk/work_dir_a", {}, {});
    EXPECT_TRUE(stream.programme().placeholder.isEmpty());
    EXPECT_TRUE(stream.programme().playlists.isEmpty());
    EXPECT_EQ(stream.programme().serial, 2u);

    stream.connectToHost(QHostAddress("239.1.1.1"), 8554);
    EXPECT_EQ(stream.peerAddress(), QHostAddress("239.1.1.1"));
    EXPECT_EQ(stream.peerPort(), 8554);
    stream.connectToHost(QHostAddress::AnyIPv4, 8554);
    EXPECT_EQ(stream.peerAddress().toString(), "0.0.0.0");
}

TEST(StreamSettings, KeepsTheOnlyReferenceToTheGenerator)
{
    Stream stream;
    auto generator = QSharedPointer<Generator>::create();
    const QWeakPointer<Generator> first = generator;
    stream.setProgramme({}, "/work", std::move(generator), {});
    EXPECT_FALSE(first.toStrongRef().isNull());

    // The replaced generator is released, not kept alive beside the new one.
    auto replacement = QSharedPointer<Generator>::create();
    const QWeakPointer<Generator> second = replacement;
    stream.setProgramme({}, "/work", replacement, {});
    replacement.reset();
    EXPECT_TRUE(first.toStrongRef().isNull());
    EXPECT_FALSE(second.toStrongRef().isNull());

    stream.setProgramme({}, "/work", {}, {});
    EXPECT_TRUE(second.toStrongRef().isNull());
}

TEST(StreamSocket, BindsARealSocket)
{
    Stream stream;
    EXPECT_EQ(stream.localPort(), 0);
    ASSERT_TRUE(stream.bindSocket(42, QHostAddress::LocalHost, 0));
    EXPECT_EQ(stream.localAddress(), QHostAddress(QHostAddress::LocalHost));
    ASSERT_NE(stream.localPort(), 0);

    // The port is really held: nobody else can have it exclusively now.
    QUdpSocket other;
    EXPECT_FALSE(
        other.bind(QHostAddress::LocalHost, stream.localPort(), QAbstractSocket::DontShareAddress));
}

TEST(StreamSocket, ConnectsTheBoundSocketAndMovesItToANewDestination)
{
    Stream stream;
    ASSERT_TRUE(stream.bindSocket(42, QHostAddress::LocalHost, 0));
    const quint16 localPort = stream.localPort();
    EXPECT_EQ(kernelPeerOf(localPort), procForm(QHostAddress::AnyIPv4, 0));

    stream.connectToHost(QHostAddress("127.0.0.1"), 5000);
    EXPECT_EQ(kernelPeerOf(localPort), "0100007F:1388");
    EXPECT_EQ(stream.peerAddress(), QHostAddress("127.0.0.1"));
    EXPECT_EQ(stream.peerPort(), 5000);

    // Same local port, new destination.
    stream.connectToHost(QHostAddress("127.0.0.2"), 6000);
    EXPECT_EQ(stream.localPort(), localPort);
    EXPECT_EQ(kernelPeerOf(localPort), procForm(QHostAddress("127.0.0.2"), 6000));
    EXPECT_EQ(stream.peerAddress(), QHostAddress("127.0.0.2"));
    EXPECT_EQ(stream.peerPort(), 6000);
}

TEST(StreamSocket, BindFailureIsReported)
{
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
    Stream stream;
    EXPECT_FALSE(stream.bindSocket(42, QHostAddress::LocalHost, holder.localPort()));
    EXPECT_EQ(stream.localPort(), 0);
}

TEST(StreamSocket, JoiningAGroupNeedsABoundSocket)
{
    Stream stream;
    EXPECT_FALSE(stream.joinMulticastGroup(QHostAddress("239.1.2.3")));
}

// The HTTP workers ask for the stream's data while the main thread applies playlists.
TEST(StreamThreads, QueriesWhileTheMainThreadSetsGenerators)
{
    Stream stream;
    const auto key = keyOf(stream);
    const auto id = stream.streamId();
    const QString placeholders[] = { "first.mp4", "second placeholder.mp4" };

    std::atomic<bool> done = false;
    std::atomic<int> wrong = 0;
    std::atomic<long> queries = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            while (!done) {
                if (keyOf(stream) != key || stream.streamId() != id)
                    ++wrong;
                const QHostAddress address = stream.peerAddress();
                const quint16 port = stream.peerPort();
                if (!address.isNull() && address != QHostAddress("127.0.0.1")
                    && address != QHostAddress("127.0.0.2"))
                    ++wrong;
                if (port != 0 && port != 5000 && port != 6000)
                    ++wrong;
                // One programme, never the directory of one and the placeholder of another.
                const Stream::Programme programme = stream.programme();
                if (programme.serial != 0
                    && (programme.placeholder != placeholders[programme.serial % 2]
                        || programme.directory != QString("/work/%1").arg(programme.serial % 2)))
                    ++wrong;
                ++queries;
            }
        });

    for (int i = 0; i < 2000; ++i) {
        stream.setProgramme({}, QString("/work/%1").arg((i + 1) % 2),
            QSharedPointer<Generator>::create(), placeholders[(i + 1) % 2]);
        if (i % 100 == 0)
            stream.connectToHost(
                QHostAddress(i % 200 ? "127.0.0.1" : "127.0.0.2"), i % 200 ? 5000 : 6000);
    }
    // The workers must have overlapped the main thread, not only run after it.
    while (queries < 100)
        std::this_thread::yield();
    done = true;
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(wrong, 0);
}

// The whole engine on loopback: schedule, file, messages, sealed datagrams on the real socket, and
// the receiving side a display uses.
TEST(StreamEngine, SendsTheScheduledFileAsSealedDatagramsADisplayCanOpen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath("content"));
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            "testsrc=size=320x240:rate=10:duration=2", "-c:v", "libx264", "-pix_fmt", "yuv420p",
            "-g", "10", dir.filePath("content/clip.mp4") });
    ASSERT_TRUE(ffmpeg.waitForFinished(60000));
    ASSERT_EQ(ffmpeg.exitCode(), 0);
    ASSERT_TRUE(QFile::link(dir.filePath("content"), dir.filePath("work_dir")));

    QUdpSocket display;
    ASSERT_TRUE(display.bind(QHostAddress::LocalHost, 0));

    auto stream = std::make_unique<Stream>();
    Playlist playlist;
    playlist.section = "all-day";
    Playlist::File file;
    file.section = "1";
    file.url = "clip.mp4";
    file.timeplay = std::chrono::seconds(3600);
    playlist.files = { file };
    auto generator = QSharedPointer<Generator>::create();
    generator->setPlaylists({ playlist });
    stream->setProgramme(file::openDirectory(dir.filePath("content").toStdString()),
        dir.filePath("content"), generator, {});
    generator.reset();
    ASSERT_TRUE(stream->bindSocket(42, QHostAddress::AnyIPv4, 0));
    stream->connectToHost(QHostAddress::LocalHost, display.localPort());

    StreamReceiver receiver(stream->streamId(), keyOf(*stream), stream->signerKey());
    const auto asked = StreamReceiver::Clock::now();
    const StreamSealer::Joining joining = stream->joining();
    ASSERT_EQ(receiver.join({ joining.clock, asked, StreamReceiver::Clock::now(), joining.anchor,
                  joining.next, joining.key }),
        StreamReceiver::JoinError::none);
    Decoder decoder;
    AVPacket* packet = av_packet_alloc();
    int packets = 0;
    int configurations = 0;
    std::size_t largest = 0;
    QJsonObject metadata;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (packets < 15 && std::chrono::steady_clock::now() < deadline) {
        if (!display.hasPendingDatagrams() && !display.waitForReadyRead(1000))
            continue;
        const QNetworkDatagram datagram = display.receiveDatagram();
        largest = std::max(largest, std::size_t(datagram.data().size()));
        EXPECT_EQ(datagram.senderPort(), stream->localPort());
        const QByteArray bytes = datagram.data();
        for (const QByteArray& message :
            receiver.addDatagram({ reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                     std::size_t(bytes.size()) },
                datagram.senderPort(), StreamReceiver::Clock::now()))
            decoder.addMessage({ reinterpret_cast<const std::uint8_t*>(message.constData()),
                std::size_t(message.size()) });
        while (true) {
            if (const auto document = decoder.getMetaData())
                metadata = document->object();
            AVCodecParameters* parameters = nullptr;
            if (decoder.readPacket(packet, &parameters) != 0)
                break;
            if (parameters) {
                ++configurations;
                EXPECT_EQ(parameters->codec_id, AV_CODEC_ID_H264);
                EXPECT_EQ(parameters->width, 320);
                EXPECT_TRUE(packet->flags & AV_PKT_FLAG_KEY);
            }
            avcodec_parameters_free(&parameters);
            ++packets;
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    EXPECT_GE(packets, 15);
    EXPECT_EQ(configurations, 1);
    EXPECT_EQ(metadata.value("url").toString(), "clip.mp4");
    EXPECT_EQ(metadata.value("playlist").toString(), "all-day");
    EXPECT_LE(largest, StreamDatagram::maxFragmentSize);
    EXPECT_EQ(receiver.counters().rejected(), 0u);
    EXPECT_GT(stream->sentDatagrams(), 0u);
    EXPECT_EQ(stream->droppedDatagrams(), 0u);

    // The destructor stops the engine's thread; nothing is sent afterwards.
    stream.reset();
    while (display.hasPendingDatagrams())
        display.receiveDatagram();
    EXPECT_FALSE(display.waitForReadyRead(300));
}
