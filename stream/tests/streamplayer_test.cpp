#include "streamplayer.h"

#include <vesk/decoder.h>
#include <vesk/log.h>

extern "C" {
#include <libavutil/crc.h>
}

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

struct SourcePacket
{
    qint64 pts = 0;
    qint64 dts = 0;
    bool key = false;
    int size = 0;
    QByteArray crc;
};

struct ReceivedPacket
{
    qint64 pts = 0;
    qint64 dts = 0;
    bool key = false;
    int size = 0;
    QByteArray crc;
    bool codecChange = false;
    QJsonObject metadata;
};

// The clip's packets as ffprobe (not our code) sees them, in file order.
std::vector<SourcePacket> probe(const QString& path)
{
    QProcess ffprobe;
    ffprobe.start("ffprobe",
        { "-v", "error", "-select_streams", "v:0", "-show_entries",
            "packet=pts,dts,flags,size,data_hash", "-show_data_hash", "CRC32", "-of", "csv=p=0",
            path });
    EXPECT_TRUE(ffprobe.waitForFinished(30000));
    std::vector<SourcePacket> packets;
    for (const QByteArray& line : ffprobe.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(',');
        if (f.size() < 5)
            continue;
        packets.push_back({ f[0].toLongLong(), f[1].toLongLong(), f[3].startsWith('K'),
            f[2].toInt(), f[4].mid(6).toLower() });
    }
    return packets;
}

bool makeClip(const QString& path, const QString& colour, int seconds)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            QString("color=c=%1:size=160x120:rate=10:duration=%2").arg(colour).arg(seconds), "-c:v",
            "libx264", "-pix_fmt", "yuv420p", "-g", "10", path });
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

QByteArray crcOf(const AVPacket* packet)
{
    const std::uint32_t crc = ~av_crc(
        av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX, packet->data, std::size_t(packet->size));
    return QByteArray::number(crc, 16).rightJustified(8, '0');
}

// Collects what the engine sends, decoded as a display would.
class Collector
{
public:
    void add(const QByteArray& message)
    {
        const std::lock_guard lock(m_mutex);
        m_decoder.addMessage({ reinterpret_cast<const std::uint8_t*>(message.constData()),
            std::size_t(message.size()) });
        AVPacket* packet = av_packet_alloc();
        while (true) {
            const std::optional<QJsonDocument> metadata = m_decoder.getMetaData();
            // A fresh output each time: freed and new parameters may share an address.
            AVCodecParameters* parameters = nullptr;
            if (m_decoder.readPacket(packet, &parameters) != 0)
                break;
            ReceivedPacket received { packet->pts, packet->dts,
                (packet->flags & AV_PKT_FLAG_KEY) != 0, packet->size, crcOf(packet),
                parameters != nullptr, metadata ? metadata->object() : QJsonObject() };
            m_packets.push_back(received);
            avcodec_parameters_free(&parameters);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        m_changed.notify_all();
    }

    // Waits until `predicate` holds for the packets so far; false after the time-out.
    template <typename Predicate> bool waitFor(Predicate predicate, std::chrono::seconds timeout)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return predicate(m_packets); });
    }
    std::vector<ReceivedPacket> packets()
    {
        const std::lock_guard lock(m_mutex);
        return m_packets;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Decoder m_decoder;
    std::vector<ReceivedPacket> m_packets;
};

class StreamPlayerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkpath("content/clips"));
        workDir = dir.filePath("work_dir");
        ASSERT_TRUE(QFile::link(dir.filePath("content"), workDir));
    }

    // A schedule whose window opens at `opens` (today), so the rotation starts exactly there.
    static QSharedPointer<Generator> schedule(
        const QTime& opens, const QList<QPair<QByteArray, int>>& files)
    {
        Playlist playlist;
        playlist.section = "main";
        playlist.starttime = opens;
        playlist.endtime = QTime(23, 59, 59);
        int n = 0;
        for (const auto& [url, seconds] : files) {
            Playlist::File file;
            file.section = QByteArray::number(++n);
            file.url = url;
            file.timeplay = std::chrono::seconds(seconds);
            playlist.files.append(file);
        }
        auto generator = QSharedPointer<Generator>::create();
        generator->setPlaylists({ playlist });
        return generator;
    }

    // Now, to the second: the start of a window that the engine enters at its beginning.
    static QTime thisSecond()
    {
        const QTime now = QTime::currentTime();
        return QTime(now.hour(), now.minute(), now.second());
    }

    QTemporaryDir dir;
    QString workDir;
    Collector collector;
    detail::StreamPlayer player { log::Manager::logger("vesk.stream"),
        [this](const QByteArray& message) { collector.add(message); } };
};

} // namespace

TEST(StreamPlayerResolve, NamesOutsideTheWorkDirectoryAreRefused)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("work/a"));
    ASSERT_TRUE(QFile::link("/etc/hostname", dir.filePath("work/escape")));
    const QString work = dir.filePath("work");
    EXPECT_EQ(detail::StreamPlayer::resolve(work, "a/clip.mp4"), work + "/a/clip.mp4");
    EXPECT_EQ(detail::StreamPlayer::resolve(work, "clip.mp4"), work + "/clip.mp4");
    for (const char* refused :
        { "", "/etc/hostname", "../x.mp4", "a/../../x.mp4", "..", "a/..", "escape" })
        EXPECT_TRUE(detail::StreamPlayer::resolve(work, refused).isEmpty()) << refused;
    EXPECT_TRUE(detail::StreamPlayer::resolve(QString(), "a/clip.mp4").isEmpty());
}

TEST_F(StreamPlayerTest, PlaysTheScheduledFilePacketForPacketFromItsStart)
{
    ASSERT_TRUE(makeClip(dir.filePath("content/clips/red.mp4"), "red", 2));
    const std::vector<SourcePacket> source = probe(dir.filePath("content/clips/red.mp4"));
    ASSERT_EQ(source.size(), 20u);

    player.setWorkDir(workDir);
    player.setGenerator(schedule(thisSecond(), { { "clips/red.mp4", 3600 } }));
    player.start();
    // The window opened at the start of this second: the engine starts at the key frame at or
    // before its position, catches up at once and then keeps pace.
    ASSERT_TRUE(collector.waitFor([](const auto& p) { return p.size() >= 20; }, 30s));
    const std::vector<ReceivedPacket> received = collector.packets();
    EXPECT_TRUE(received.front().codecChange);
    EXPECT_TRUE(received.front().key);
    EXPECT_EQ(received.front().metadata.value("url").toString(), "clips/red.mp4");
    EXPECT_EQ(received.front().metadata.value("playlist").toString(), "main");
    EXPECT_EQ(received.front().metadata.value("file").toString(), "1");

    // The first packet is one of the file's key frames; from there on every packet is the
    // source's, in dts order.
    std::vector<SourcePacket> byDts = source;
    std::sort(byDts.begin(), byDts.end(), [](auto& a, auto& b) { return a.dts < b.dts; });
    const auto first = std::find_if(
        byDts.begin(), byDts.end(), [&](auto& s) { return s.dts == received.front().dts; });
    ASSERT_NE(first, byDts.end());
    EXPECT_TRUE(first->key);
    for (std::size_t i = 0; first + qsizetype(i) != byDts.end(); ++i) {
        const SourcePacket& s = *(first + qsizetype(i));
        EXPECT_EQ(received[i].dts, s.dts) << i;
        EXPECT_EQ(received[i].pts, s.pts) << i;
        EXPECT_EQ(received[i].size, s.size) << i;
        EXPECT_EQ(received[i].crc, s.crc) << i;
        EXPECT_EQ(received[i].key, s.key) << i;
    }

    // Shorter than its slot: the file starts again, with time stamps that keep growing and no
    // new codec configuration.
    const std::size_t firstPass = std::size_t(byDts.end() - first);
    ASSERT_TRUE(collector.waitFor([&](const auto& p) { return p.size() >= firstPass + 5; }, 30s));
    const std::vector<ReceivedPacket> looped = collector.packets();
    for (std::size_t i = 1; i < looped.size(); ++i)
        EXPECT_GT(looped[i].dts, looped[i - 1].dts) << i;
    EXPECT_FALSE(looped[firstPass].codecChange);
    EXPECT_EQ(looped[firstPass].crc, byDts.front().crc);
    player.stop();
}

TEST_F(StreamPlayerTest, JoiningASlotAfterItsFileEndedStartsInThePassPlayingNow)
{
    ASSERT_TRUE(makeClip(dir.filePath("content/red.mp4"), "red", 2));
    // The slot began five seconds ago; the two-second file is in its third pass now.
    player.setWorkDir(workDir);
    player.setGenerator(schedule(thisSecond().addSecs(-5), { { "red.mp4", 3600 } }));
    player.start();
    ASSERT_TRUE(collector.waitFor([](const auto& p) { return !p.empty(); }, 30s));
    const ReceivedPacket first = collector.packets().front();
    const QStringList timeBase = first.metadata.value("timeBase").toString().split('/');
    ASSERT_EQ(timeBase.size(), 2);
    const double seconds = double(first.dts) * timeBase[0].toDouble() / timeBase[1].toDouble();
    // Not the passes before it, sent all at once: the key frame before the position in this one.
    EXPECT_TRUE(first.key);
    EXPECT_GE(seconds, 3.5);
    EXPECT_LE(seconds, 6.5);
    player.stop();
}

TEST_F(StreamPlayerTest, ANewScheduleTakesOverAtOnceUnlessItPlaysTheSameSlot)
{
    ASSERT_TRUE(makeClip(dir.filePath("content/red.mp4"), "red", 2));
    ASSERT_TRUE(makeClip(dir.filePath("content/blue.mp4"), "blue", 2));
    const QTime opens = thisSecond();
    player.setWorkDir(workDir);
    player.setGenerator(schedule(opens, { { "red.mp4", 3600 } }));
    player.start();
    ASSERT_TRUE(collector.waitFor([](const auto& p) { return p.size() >= 12; }, 30s));

    // The same schedule again (a daily re-application): no break, no new configuration.
    player.setGenerator(schedule(opens, { { "red.mp4", 3600 } }));
    const std::size_t before = collector.packets().size();
    ASSERT_TRUE(collector.waitFor([&](const auto& p) { return p.size() >= before + 10; }, 30s));
    std::vector<ReceivedPacket> received = collector.packets();
    for (std::size_t i = 1; i < received.size(); ++i) {
        EXPECT_FALSE(received[i].codecChange) << i;
        EXPECT_GT(received[i].dts, received[i - 1].dts) << i;
    }

    // Another file now: it starts at once, with a new configuration.
    const auto changed = std::chrono::steady_clock::now();
    player.setGenerator(schedule(opens, { { "blue.mp4", 3600 } }));
    ASSERT_TRUE(collector.waitFor(
        [](const auto& p) { return p.back().metadata.value("url").toString() == "blue.mp4"; },
        30s));
    // Far less than the rest of the red slot (an hour): the change did not wait for its end.
    EXPECT_LT(std::chrono::steady_clock::now() - changed, 10s);
    received = collector.packets();
    const auto blue = std::find_if(received.begin(), received.end(),
        [](auto& p) { return p.metadata.value("url").toString() == "blue.mp4"; });
    EXPECT_TRUE(blue->codecChange);
    EXPECT_TRUE(blue->key);
    player.stop();
}

TEST_F(StreamPlayerTest, AMissingOrDamagedFileShowsThePlaceholderAndTheEngineGoesOn)
{
    ASSERT_TRUE(makeClip(dir.filePath("content/placeholder.mp4"), "gray", 1));
    ASSERT_TRUE(makeClip(dir.filePath("content/good.mp4"), "green", 1));
    QFile damaged(dir.filePath("content/damaged.mp4"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(4096, 'x'));
    damaged.close();

    player.setWorkDir(workDir);
    player.setPlaceholder("placeholder.mp4");
    player.setGenerator(schedule(thisSecond(),
        { { "missing.mp4", 2 }, { "damaged.mp4", 2 }, { "../outside.mp4", 2 },
            { "good.mp4", 2 } }));
    player.start();
    ASSERT_TRUE(collector.waitFor(
        [](const auto& p) {
            return !p.empty() && p.back().metadata.value("url").toString() == "good.mp4";
        },
        30s));
    const std::vector<ReceivedPacket> received = collector.packets();
    // Each failed slot showed the placeholder, naming the slot it stood in for.
    QStringList shown;
    for (const ReceivedPacket& p : received)
        if (p.codecChange)
            shown << p.metadata.value("url").toString()
                    + (p.metadata.value("placeholder").toBool() ? "*" : "");
    EXPECT_EQ(shown.mid(0, 4),
        QStringList({ "placeholder.mp4*", "placeholder.mp4*", "placeholder.mp4*", "good.mp4" }));
    player.stop();
}

TEST_F(StreamPlayerTest, StopsPromptlyWhileWaitingAndAfterward)
{
    // Nothing scheduled and no placeholder: the engine waits; stopping must not wait for it.
    player.setWorkDir(workDir);
    player.setGenerator(QSharedPointer<Generator>::create());
    player.start();
    EXPECT_TRUE(player.running());
    const auto started = std::chrono::steady_clock::now();
    player.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(player.running());
    EXPECT_TRUE(collector.packets().empty());
}
