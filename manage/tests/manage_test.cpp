#include "content.h"
#include "delivery.h"
#include "heartbeattable.h"
#include "registerstate.h"
#include "rsyncprogress.h"

#include <vesk/playlist/playlistparser.h>
#include <vesk/ssl/crypto.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vesk;
using namespace vesk::manage;

TEST(RsyncProgressReader, ReadsTheReportsOfTheTable)
{
    struct Case
    {
        QByteArray input;
        std::optional<RsyncProgress> expected;
    };
    const Case cases[] = {
        { "  32,768   0%    0.00kB/s    0:00:00  \r", RsyncProgress { 32768, 0, "0.00kB/s" } },
        { "  20,348,931  67%   19.18MB/s    0:00:00 (xfr#1, to-chk=3/5)\r",
            RsyncProgress { 20348931, 67, "19.18MB/s", 1, 3, 5 } },
        { "  1.234.567 100%  1,00MB/s    0:00:01 (xfr#2, ir-chk=10/20)\n",
            RsyncProgress { 1234567, 100, "1,00MB/s", 2, 10, 20 } },
        { "sending incremental file list\n", std::nullopt },
        { "", std::nullopt },
    };
    for (const Case& c : cases) {
        // Whole, and cut into pieces of three bytes: the same report either way.
        RsyncProgressReader whole;
        RsyncProgressReader pieces;
        std::optional<RsyncProgress> fromPieces;
        for (qsizetype i = 0; i < c.input.size(); i += 3)
            if (auto report = pieces.feed(c.input.mid(i, 3)))
                fromPieces = report;
        EXPECT_EQ(whole.feed(c.input), c.expected) << c.input.constData();
        EXPECT_EQ(fromPieces, c.expected) << c.input.constData();
    }
}

namespace {

const QDateTime t0 = QDateTime::fromString("2026-12-08T12:00:00.000+03:00", Qt::ISODateWithMs);

RegisterState registerState(const QString& name)
{
    RegisterState state;
    state.name = name;
    state.address = QHostAddress("127.0.0.1");
    state.port = 49152;
    state.token = QUuid::createUuid();
    state.sharedKey = QByteArray(32, char(name.size()));
    state.catalog = "/var/lib/morlen-vesk/sync_dir";
    state.sshKey = "/srv/key";
    return state;
}

// A heartbeat as the register seals it.
QByteArray beat(const RegisterState& state, const QDateTime& registerTime, QByteArray key = {})
{
    ssl::SharedKey shared;
    shared.trySetKey(key.isEmpty() ? state.sharedKey : key);
    const auto sealed = ssl::encryptWithGcm(shared.bytes(),
        QJsonDocument(QJsonObject { { "datetime", registerTime.toString(Qt::ISODateWithMs) } })
            .toJson(QJsonDocument::Compact));
    return state.token.toRfc4122() + sealed.getIv() + sealed.getCiphertext() + sealed.getTag();
}

} // namespace

TEST(HeartbeatTable, HostileDatagramsChangeNoRowAndCountByCause)
{
    const RegisterState a = registerState("a");
    const RegisterState bb = registerState("bb");
    HeartbeatTable table({});
    table.setRegisters({ bb, a }, t0);
    const QByteArray good = beat(a, t0.addSecs(1));
    QByteArray flipped = good;
    flipped[40] = char(flipped[40] ^ 1);
    ssl::SharedKey sealer;
    sealer.trySetKey(a.sharedKey);
    const auto empty = ssl::encryptWithGcm(sealer.bytes(), "{}");
    using V = HeartbeatTable::Verdict;
    const std::pair<QByteArray, V> datagrams[] = {
        { QByteArray(600, 'x'), V::oversized },
        { good.first(40), V::malformed },
        { beat(registerState("c"), t0), V::unknown },
        { flipped, V::forged },
        { beat(a, t0, QByteArray(32, 'k')), V::forged },
        { a.token.toRfc4122() + empty.getIv() + empty.getCiphertext() + empty.getTag(),
            V::malformed },
        { good, V::accepted },
        { good, V::replayed },
        { beat(a, t0), V::replayed },
        { beat(bb, t0.addSecs(-5)), V::accepted },
    };
    for (const auto& [datagram, verdict] : datagrams)
        EXPECT_EQ(table.addDatagram(datagram, "127.0.0.1:1", t0.addSecs(2)), verdict);
    const HeartbeatTable::Counters& c = table.counters();
    EXPECT_EQ(
        (std::array { c.accepted, c.oversized, c.malformed, c.unknown, c.forged, c.replayed }),
        (std::array<quint64, 6> { 2, 1, 2, 1, 2, 2 }));
    ASSERT_EQ(table.rows().size(), 2);
    EXPECT_EQ(table.rows()[0].name, "a");
    EXPECT_EQ(table.rows()[0].beats, 1u);
    EXPECT_EQ(table.rows()[0].clockOffsetMs(), -1000);
    EXPECT_EQ(table.rows()[1].clockOffsetMs(), -7000);
    // The worked example of docs/rest-api.md, as a register sealed it.
    RegisterState documented = registerState("documented");
    documented.token = QUuid::fromString(QStringLiteral("3d6f0a9e-51c2-4b7e-9a83-c4e1f2d05b67"));
    for (char i = 0; i < 32; ++i)
        documented.sharedKey[i] = i;
    table.setRegisters({ bb, a, documented }, t0);
    EXPECT_EQ(
        table.addDatagram(
            QByteArray::fromHex("3d6f0a9e51c24b7e9a83c4e1f2d05b67cafebabefacedbaddecaf888f181c447"
                                "de1f3b722b6e7fe7592fb90d3b0df163f2295d207cee3e408ab355cc8362f476"
                                "eae47a58166b0a15f4cf63b66f9203df1f39d40b9de185a4"),
            "x", t0),
        V::accepted);
    EXPECT_EQ(table.rows()[2].registerTime,
        QDateTime::fromString("2026-12-07T21:14:03.250+03:00", Qt::ISODateWithMs));
    // Pairing anew (a new token) starts the register's row again; the other keeps its own.
    table.setRegisters({ registerState("a"), bb }, t0.addSecs(3));
    EXPECT_EQ(table.rows()[0].beats, 0u);
    EXPECT_EQ(table.rows()[1].beats, 1u);
}

TEST(HeartbeatTable, MissedBeatsFollowThePeriodInVirtualTime)
{
    // Beats at these seconds after the start: a beat more than half a period late is missed.
    const RegisterState a = registerState("a");
    HeartbeatTable table({});
    table.setRegisters({ a }, t0);
    const std::pair<int, quint64> beats[]
        = { { 30, 0 }, { 89, 0 }, { 180, 1 }, { 330, 3 }, { 390, 3 }, { 391, 3 } };
    for (const auto& [second, missed] : beats) {
        table.addDatagram(beat(a, t0.addSecs(second)), "x", t0.addSecs(second));
        EXPECT_EQ(table.missed(table.rows()[0], t0.addSecs(second)), missed) << second;
    }
    EXPECT_EQ(table.missed(table.rows()[0], t0.addSecs(391 + 89)), 3u);
    EXPECT_EQ(table.missed(table.rows()[0], t0.addSecs(391 + 90)), 4u);
    // A register that never beats misses one beat a period once it is half a period overdue.
    table.setRegisters({ a, registerState("quiet") }, t0);
    EXPECT_EQ(table.missed(table.rows()[1], t0.addSecs(600)), 9u);
}

TEST(DeliveryWatch, TellsOurVerdictFromTheRegistersLooks)
{
    // Our delivery as a management server names it with a tool that is not ours.
    const QByteArray tf = "44bc2cf5ad770999  a.mp4\n";
    QProcess xxhsum;
    xxhsum.start("xxhsum", { "-H1" });
    xxhsum.write(tf);
    xxhsum.closeWriteChannel();
    ASSERT_TRUE(xxhsum.waitForFinished(30000));
    const QString ours = QString::fromLatin1(xxhsum.readAllStandardOutput().left(16));
    const QString old = "0123456789abcdef";
    // The last look at `looked` ended with `outcome` at `time`; `played` is applied.
    const auto status = [](const QString& looked, const char* outcome, int time,
                            const QString& played) {
        return QJsonObject { { "sync",
                                 QJsonObject { { "delivery", looked }, { "outcome", outcome },
                                     { "time", time }, { "reason", "why" } } },
            { "playing", QJsonObject { { "delivery", played }, { "applied", "2026-12-08" } } } };
    };
    using V = DeliveryWatch::Verdict;
    struct Case
    {
        QJsonObject before;
        std::vector<QJsonObject> looks;
        V verdict;
    };
    const Case cases[] = {
        { status(old, "up to date", 0, old),
            { status(ours, "switched", 1, old), status(ours, "switched", 1, ours) }, V::played },
        { status(old, "up to date", 0, old), { {}, status(ours, "refused", 1, old) }, V::refused },
        { status(old, "up to date", 0, old), { status(ours, "retry pending", 1, old) },
            V::waiting },
        // Another delivery's refusals are never ours.
        { status(old, "refused", 0, old), { status(old, "refused", 1, old) }, V::waiting },
        // Our TF again after its refusal: the register's first look may still be the old one.
        { status(ours, "refused", 0, old), { status(ours, "refused", 1, old) }, V::waiting },
        { status(ours, "refused", 0, old),
            { status(ours, "refused", 1, old), status(ours, "refused", 2, old) }, V::refused },
        { status(ours, "retry pending", 0, old),
            { status(ours, "refused", 1, old), status(ours, "switched", 2, ours) }, V::played },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        DeliveryWatch watch(tf, cases[i].before);
        EXPECT_EQ(watch.delivery(), ours);
        V verdict = V::waiting;
        for (const QJsonObject& look : cases[i].looks)
            verdict = watch.look(look);
        EXPECT_EQ(verdict, cases[i].verdict) << "case " << i;
    }
}

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(ReadContent, RefusesWhatThePlayerWouldNotPlayAndListsWhatXxhsumLists)
{
    const std::pair<QByteArray, const char*> playlists[] = {
        { "[a]\ndays=all\n[a.1]\nurl=video/x.mp4\n[placeholder]\nurl=p.png\n", nullptr },
        { "[a]\ndays=all\n", "names no media file" },
        { "[a.1]\nurl=missing.mp4\n", "'missing.mp4' of [a.1]" },
        { "[a.1]\nurl=../outside.mp4\n", "'../outside.mp4' of [a.1]" },
        { "[a.1]\nurl=link.mp4\n", "'link.mp4' of [a.1]" },
        { "[a.1]\nurl=TF\n", "'TF' of [a.1]" },
        { "[a.1]\nurl=video/x.mp4\n[placeholder]\nurl=gone.png\n", "'gone.png' of [placeholder]" },
        // Larger than the register reads: it would refuse the whole delivery.
        { "[a.1]\nurl=video/x.mp4\n" + QByteArray(PlaylistParser::maxFileSize, ';'),
            "more than 1048576 bytes" },
    };
    for (const auto& [playlist, refusal] : playlists) {
        QTemporaryDir root;
        write(root.filePath("outside.mp4"), "o");
        const QDir dir(root.filePath("content"));
        write(dir.filePath("playlist.ini"), playlist);
        write(dir.filePath("video/x.mp4"), "x");
        write(dir.filePath("p.png"), QByteArray(300000, 'p'));
        write(dir.filePath("TF"), "old");
        ASSERT_TRUE(QFile::link(dir.filePath("video/x.mp4"), dir.filePath("link.mp4")));
        QString error;
        const std::optional<Content> content = readContent(dir.path(), error);
        if (refusal) {
            EXPECT_FALSE(content);
            EXPECT_TRUE(error.contains(refusal)) << error.toStdString();
            continue;
        }
        ASSERT_TRUE(content) << error.toStdString();
        EXPECT_EQ(content->files, QStringList({ "p.png", "playlist.ini", "video/x.mp4" }));
        QProcess xxhsum;
        xxhsum.setWorkingDirectory(dir.path());
        xxhsum.start("xxhsum", QStringList { "-H1" } + content->files);
        ASSERT_TRUE(xxhsum.waitForFinished());
        EXPECT_EQ(content->transactionFile, xxhsum.readAllStandardOutput());
    }
}

TEST(StateStore, KeepsAPairingWholeAndPrivate)
{
    QTemporaryDir dir;
    const StateStore store(dir.filePath("state/vesk-manage"));
    const RegisterState a = registerState("shop-1:49152");
    store.save(a);
    write(dir.filePath("state/vesk-manage/broken"), "{\"register\":\"x\"}");
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(store.directory()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(store.directory() + "/shop-1:49152").constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    QStringList problems;
    const QList<RegisterState> loaded = store.loadAll(problems);
    ASSERT_EQ(loaded.size(), 1);
    EXPECT_EQ(loaded[0].token, a.token);
    EXPECT_EQ(loaded[0].sharedKey, a.sharedKey);
    EXPECT_EQ(loaded[0].registerText(), "127.0.0.1:49152");
    EXPECT_EQ(problems.size(), 1);
    for (const char* name : { "", ".hidden", "-x", "a/b", "../a", "plays.sqlite",
             "plays.sqlite-wal", "vesk-manage.ini" })
        EXPECT_FALSE(StateStore::validName(name)) << name;
}
