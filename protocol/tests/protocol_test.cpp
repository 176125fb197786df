#include <vesk/protocol/encryptedanswer.h>
#include <vesk/protocol/gatecommands.h>
#include <vesk/protocol/heartbeat.h>
#include <vesk/protocol/httpexchange.h>
#include <vesk/protocol/timetext.h>
#include <vesk/protocol/transactionfile.h>
#include <vesk/ssl/crypto.h>

#include <QTimeZone>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace vesk;

namespace {

TEST(WireTime, OffsetAlwaysNumericMillisecondsOnlyWhereAsked)
{
    const QDate date(2026, 12, 8);
    const QTime time(12, 0, 1, 123);
    const struct
    {
        QDateTime time;
        const char* withMs;
        const char* seconds;
    } cases[] = {
        { QDateTime(date, time, QTimeZone::utc()), "2026-12-08T12:00:01.123+00:00",
            "2026-12-08T12:00:01+00:00" },
        { QDateTime(date, time, QTimeZone("Europe/Moscow")), "2026-12-08T12:00:01.123+03:00",
            "2026-12-08T12:00:01+03:00" },
        { QDateTime(date, time, QTimeZone(-(3 * 3600 + 1800))), "2026-12-08T12:00:01.123-03:30",
            "2026-12-08T12:00:01-03:30" },
        { QDateTime(), "", "" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(protocol::wireTime(c.time), QString::fromLatin1(c.withMs));
        EXPECT_EQ(protocol::wireTimeSeconds(c.time), QString::fromLatin1(c.seconds));
        if (!c.time.isValid())
            continue;
        // The reader takes both back to the same instant, at the writer's offset.
        const QDateTime read = protocol::readWireTime(protocol::wireTime(c.time));
        EXPECT_EQ(read, c.time);
        EXPECT_EQ(read.offsetFromUtc(), c.time.offsetFromUtc());
        EXPECT_EQ(protocol::readWireTime(protocol::wireTimeSeconds(c.time)).secsTo(c.time), 0);
    }
    EXPECT_FALSE(protocol::readWireTime(u"yesterday").isValid());
}

TEST(TransactionLine, WrittenLinesReadBackAsWritten)
{
    const std::pair<std::uint64_t, QByteArray> lines[] = { { 0xef46db3751d8e999, "video/a.mp4" },
        { 1, "a" }, { 0, "имя с пробелом.mp4" } };
    QByteArray file;
    for (const auto& [checksum, name] : lines)
        file += protocol::formatTransactionLine(checksum, name);
    EXPECT_TRUE(file.startsWith("ef46db3751d8e999  video/a.mp4\n0000000000000001  a\n"));
    const protocol::TransactionFile parsed = protocol::parseTransactionFile(file);
    ASSERT_TRUE(parsed.list);
    ASSERT_EQ(parsed.list.value().size(), qsizetype(std::size(lines)));
    for (qsizetype i = 0; i < parsed.list.value().size(); ++i) {
        EXPECT_EQ(parsed.list.value().name(i), lines[i].second);
        EXPECT_EQ(parsed.list.value().checksum(i), lines[i].first);
    }
    EXPECT_EQ(protocol::digestOf(file).hash, protocol::xxh64(file));
}

TEST(TransactionFile, NamesOutsideAreCountedAndTheFirstFewKept)
{
    QByteArray file;
    for (int i = 0; i < 20; ++i)
        file += protocol::formatTransactionLine(1, "../x" + QByteArray::number(i));
    file += protocol::formatTransactionLine(2, "in.mp4");
    const protocol::TransactionFile parsed = protocol::parseTransactionFile(file);
    ASSERT_TRUE(parsed.list);
    EXPECT_EQ(parsed.list.value().size(), 1);
    EXPECT_EQ(parsed.outside, 20);
    ASSERT_EQ(parsed.namedOutside.size(), protocol::TransactionFile::maxNamedOutside);
    EXPECT_EQ(parsed.namedOutside.front(), "../x0");
}

TEST(EncryptedAnswer, OpensWhatIsSealedAndNothingTamperedWith)
{
    const auto [peer, peerPublic] = ssl::generateKeyPairEC();
    const auto [own, ownPublic] = ssl::generateKeyPairEC();
    const ssl::SharedKey key = ssl::deriveKey(own, peerPublic);
    const QByteArray plaintext = R"({"catalog":"/var/lib/morlen-vesk/sync_dir"})";
    const protocol::SealedAnswer sealed = protocol::sealAnswer(ownPublic, key.bytes(), plaintext);

    const protocol::OpenedAnswer opened
        = protocol::openAnswer(peer, sealed.publicKey, sealed.iv, sealed.body);
    EXPECT_EQ(opened.plaintext, plaintext);
    EXPECT_EQ(opened.key.getKey(), key.getKey());

    QByteArray flipped = sealed.body;
    flipped[0] = char(flipped[0] ^ 1);
    const QByteArray tooShort = sealed.body.first(15);
    for (const QByteArray& body : { flipped, tooShort })
        EXPECT_ANY_THROW(protocol::openAnswer(peer, sealed.publicKey, sealed.iv, body));
    EXPECT_ANY_THROW(protocol::openAnswer(peer, "not base64 DER", sealed.iv, sealed.body));
}

TEST(Heartbeat, OpensTheRegistersClockAndTellsEachHostileDatagram)
{
    const QByteArray token(16, 't');
    const ssl::SharedKey key = ssl::deriveKey(ssl::generateKeyPairEC().first, ssl::generateKeyPairEC().second);
    ssl::AesGcm cipher(key.bytes());
    const QDateTime now(QDate(2026, 12, 8), QTime(12, 0, 1, 123), QTimeZone("Europe/Moscow"));
    const QByteArray datagram = protocol::heartbeat::seal(token, key.bytes(), now);
    EXPECT_EQ(protocol::heartbeat::tokenOf(datagram), token);

    const auto opened = protocol::heartbeat::open(datagram, cipher);
    ASSERT_EQ(opened.result, protocol::heartbeat::Opened::Result::opened);
    EXPECT_EQ(opened.time, now);
    EXPECT_EQ(opened.time.offsetFromUtc(), 3 * 3600);

    using Result = protocol::heartbeat::Opened::Result;
    QByteArray forged = datagram;
    forged[20] = char(forged[20] ^ 1);
    const QByteArray notATime = token
        + [&] {
              const auto e = ssl::encryptWithGcm(key.bytes(), R"({"datetime":"soon"})");
              return e.getIv() + e.getCiphertext() + e.getTag();
          }();
    const std::pair<QByteArray, Result> hostile[] = { { datagram.first(43), Result::tooShort },
        { forged, Result::forged }, { notATime, Result::noTime } };
    for (const auto& [bytes, result] : hostile)
        EXPECT_EQ(protocol::heartbeat::open(bytes, cipher).result, result);
}

TEST(GateCommands, SpelledAsSshSendsThem)
{
    EXPECT_EQ(protocol::gate::joined(protocol::gate::readStatus), "vesk-status --json");
    EXPECT_EQ(protocol::gate::joined(protocol::gate::readPlayedTransactionFile),
        "cat /var/lib/morlen-vesk/work_dir/TF");
}

// A register on loopback that answers each connection with `answer`, `repeat` times over.
class FakeRegister
{
public:
    FakeRegister(QByteArray answer, int repeat)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(m_fd, 1), 0);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, answer, repeat] {
            const int peer = ::accept(m_fd, nullptr, nullptr);
            char request[4096];
            [[maybe_unused]] const ssize_t got = ::recv(peer, request, sizeof request, 0);
            for (int i = 0; i < repeat; ++i)
                if (::send(peer, answer.constData(), std::size_t(answer.size()), MSG_NOSIGNAL) < 0)
                    break;
            ::close(peer);
        });
    }
    ~FakeRegister()
    {
        m_thread.join();
        ::close(m_fd);
    }
    quint16 port() const { return m_port; }

private:
    int m_fd;
    quint16 m_port = 0;
    std::thread m_thread;
};

TEST(HttpExchange, ReadsAnAnswerAndRefusesAFlood)
{
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-PK: a\r\n"
                          "Content-Length: 2\r\n\r\n{}";
    const struct
    {
        QByteArray answer;
        int repeat;
        const char* error;
    } cases[] = {
        { ok, 1, "" },
        { QByteArray(4096, 'x'), 17, "answered more than 65536 bytes" },
        { "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{}", 1, "gave no complete HTTP answer" },
    };
    for (const auto& c : cases) {
        FakeRegister peer(c.answer, c.repeat);
        protocol::HttpRequestToRegister request;
        request.address = INADDR_LOOPBACK;
        request.port = peer.port();
        request.path = "/v1/stream/connect";
        request.body = "{}";
        QString error;
        const auto answer = protocol::exchange(request, error);
        EXPECT_EQ(answer.has_value(), QByteArray(c.error).isEmpty());
        EXPECT_TRUE(error.isEmpty() ? !*c.error : error.endsWith(QString::fromLatin1(c.error)))
            << "error: \"" << error.toStdString() << "\" for " << c.error;
        if (answer) {
            EXPECT_EQ(answer->status, 200);
            EXPECT_EQ(answer->header("x-pk"), "a");
            EXPECT_EQ(answer->body, "{}");
        }
    }
}

} // namespace
