#include "streamplayer.h"

#include <vesk/decoder.h>
#include <vesk/file/fileoperations.h>
#include <vesk/log.h>

extern "C" {
#include <libavutil/crc.h>
}

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
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
    QString track;
    qint64 pts = 0;
    qint64 dts = 0;
    bool key = false;
    int size = 0;
    QByteArray crc;
    bool codecChange = false;
    QJsonObject metadata;
    // Virtual milliseconds since the player started, when the sink got the packet.
    qint64 sentMs = 0;
};

// Virtual time: a wait that ends before the horizon returns at once, the clock moved to its
// deadline; at the horizon the engine rests until the test moves the horizon on or wakes it.
class VirtualClock : public detail::StreamClock
{
public:
    explicit VirtualClock(const QDateTime& wallStart)
        : m_wallStart(wallStart)
    {
    }

    Steady::time_point now() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_now;
    }
    QDateTime wallNow() const override { return m_wallStart.addMSecs(elapsedMs()); }
    qint64 elapsedMs() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now() - Steady::time_point())
            .count();
    }
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
        Steady::time_point deadline, const std::function<bool()>& woken) override
    {
        while (!woken()) {
            {
                const std::lock_guard own(m_mutex);
                m_now = std::max(m_now, std::min(deadline, m_horizon));
                m_resting = deadline > m_horizon;
                if (!m_resting)
                    return false;
            }
            // Real time only to notice the test; the engine's time stands still meanwhile.
            condition.wait_for(lock, std::chrono::milliseconds(1));
        }
        const std::lock_guard own(m_mutex);
        m_resting = false;
        return true;
    }
    // Lets the engine play until `seconds` of virtual time.
    void let(double seconds)
    {
        const std::lock_guard lock(m_mutex);
        m_horizon = Steady::time_point() + std::chrono::milliseconds(qint64(seconds * 1000));
        m_resting = false;
    }
    // The same, and waits until the engine rests there.
    bool runUntil(double seconds)
    {
        let(seconds);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                const std::lock_guard lock(m_mutex);
                if (m_resting && m_now == m_horizon)
                    return true;
            }
            std::this_thread::yield();
        }
        return false;
    }

private:
    QDateTime m_wallStart;
    mutable std::mutex m_mutex;
    Steady::time_point m_now;
    Steady::time_point m_horizon;
    bool m_resting = false;
};

// The packets of the clip's first video (or audio: "a:0") stream as ffprobe (not our code) sees
// them, in file order.
std::vector<SourcePacket> probe(const QString& path, const QString& stream = "v:0")
{
    QProcess ffprobe;
    ffprobe.start("ffprobe",
        { "-v", "error", "-select_streams", stream, "-show_entries",
            "packet=pts,dts,flags,size,data_hash", "-show_data_hash", "CRC32", "-of", "json",
            path });
    EXPECT_TRUE(ffprobe.waitForFinished(30000));
    std::vector<SourcePacket> packets;
    const QJsonArray list = QJsonDocument::fromJson(ffprobe.readAllStandardOutput())
                                .object()
                                .value("packets")
                                .toArray();
    for (const QJsonValue& item : list) {
        const QJsonObject p = item.toObject();
        packets.push_back(
            { p.value("pts").toVariant().toLongLong(), p.value("dts").toVariant().toLongLong(),
                p.value("flags").toString().startsWith('K'), p.value("size").toVariant().toInt(),
                p.value("data_hash").toString().mid(6).toLower().toUtf8() });
    }
    return packets;
}

bool makeClip(const QString& path, const QString& colour, int seconds, int rate = 10)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            QString("color=c=%1:size=160x120:rate=%3:duration=%2")
                .arg(colour)
                .arg(seconds)
                .arg(rate),
            "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "10", path });
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

// A clip with picture and sound (H.264 and AAC stereo), `seconds` long.
bool makeClipWithSound(const QString& path, double seconds)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            QString("testsrc2=size=160x120:rate=10:duration=%1").arg(seconds), "-f", "lavfi", "-i",
            QString("sine=frequency=440:sample_rate=48000:duration=%1").arg(seconds), "-ac", "2",
            "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "10", "-c:a", "aac", "-b:a", "128k",
            path });
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

QByteArray crcOf(const AVPacket* packet)
{
    const std::uint32_t crc = ~av_crc(
        av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX, packet->data, std::size_t(packet->size));
    return QByteArray::number(crc, 16).rightJustified(8, '0');
}

// Collects what the engine sends, decoded as a display would: one decoder per track.
class Collector
{
public:
    explicit Collector(const VirtualClock& clock)
        : m_clock(clock)
    {
    }

    void add(const QByteArray& message)
    {
        const std::lock_guard lock(m_mutex);
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(message.constData()),
            std::size_t(message.size()));
        const QString track = Decoder::metaDataOf(bytes)
                                  .value_or(QJsonDocument())
                                  .object()
                                  .value("track")
                                  .toString();
        ++m_messages[track];
        Decoder& decoder = m_decoders[track];
        decoder.addMessage(bytes);
        AVPacket* packet = av_packet_alloc();
        while (true) {
            const std::optional<QJsonDocument> metadata = decoder.getMetaData();
            // A fresh output each time: freed and new parameters may share an address.
            AVCodecParameters* parameters = nullptr;
            if (decoder.readPacket(packet, &parameters) != 0)
                break;
            ReceivedPacket received { track, packet->pts, packet->dts,
                (packet->flags & AV_PKT_FLAG_KEY) != 0, packet->size, crcOf(packet),
                parameters != nullptr, metadata ? metadata->object() : QJsonObject(),
                m_clock.elapsedMs() };
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
    // All packets, or those of one track.
    std::vector<ReceivedPacket> packets(const QString& track = {})
    {
        const std::lock_guard lock(m_mutex);
        std::vector<ReceivedPacket> packets;
        std::copy_if(m_packets.begin(), m_packets.end(), std::back_inserter(packets),
            [&](const ReceivedPacket& p) { return track.isEmpty() || p.track == track; });
        return packets;
    }
    int messages(const QString& track)
    {
        const std::lock_guard lock(m_mutex);
        return m_messages[track];
    }

private:
    const VirtualClock& m_clock;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<QString, Decoder> m_decoders;
    std::map<QString, int> m_messages;
    std::vector<ReceivedPacket> m_packets;
};

// Hands the player's messages to the collector, where the engine's sender seals and sends them.
class CollectingSink : public detail::MessageSink
{
public:
    explicit CollectingSink(Collector& collector)
        : m_collector(collector)
    {
    }
    void send(const QByteArray& message) override { m_collector.add(message); }

private:
    Collector& m_collector;
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

    // A schedule whose window opens at `opens` (on the virtual day), so the rotation starts exactly
    // there.
    static QSharedPointer<Generator> schedule(const QTime& opens,
        const QList<QPair<QByteArray, int>>& files, const QByteArray& section = "main")
    {
        Playlist playlist;
        playlist.section = section;
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

    // When the player starts on the virtual clock: the start of a window that the engine enters
    // at its beginning.
    static QTime thisSecond() { return QTime(10, 0); }

    void setProgramme(
        const QString& directory, QSharedPointer<Generator> generator, const QString& placeholder)
    {
        player.setProgramme(file::openDirectory(directory.toStdString()), directory,
            std::move(generator), placeholder);
    }

    QTemporaryDir dir;
    QString workDir;
    VirtualClock clock { QDateTime(QDate(2026, 3, 2), thisSecond()) };
    Collector collector { clock };
    detail::StreamPlayer player { log::Manager::logger("vesk.stream"),
        std::make_unique<CollectingSink>(collector), clock };
};

} // namespace

TEST(StreamPlayerMedia, NamesOutsideTheDirectoryAndLinksAreRefused)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("work/a"));
    for (const char* name : { "work/a/clip.mp4", "work/clip.mp4", "x.mp4" }) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link("/etc/hostname", dir.filePath("work/escape")));
    ASSERT_TRUE(QFile::link("clip.mp4", dir.filePath("work/inside")));
    const file::Descriptor work = file::openDirectory(dir.filePath("work").toStdString());
    std::error_code error;
    for (const char* taken : { "a/clip.mp4", "clip.mp4", "./clip.mp4" })
        EXPECT_TRUE(detail::StreamPlayer::openMedia(work.get(), taken, error).isOpen()) << taken;
    for (const char* refused : { "", "/etc/hostname", "../x.mp4", "a/../../x.mp4", "..", "a/..",
             "escape", "inside", "a", "missing.mp4" })
        EXPECT_FALSE(detail::StreamPlayer::openMedia(work.get(), refused, error).isOpen())
            << refused;
    EXPECT_FALSE(detail::StreamPlayer::openMedia(-1, "a/clip.mp4", error).isOpen());
}

TEST_F(StreamPlayerTest, PlaysTheScheduledFilePacketForPacketFromItsStart)
{
    ASSERT_TRUE(makeClip(dir.filePath("content/clips/red.mp4"), "red", 2));
    const std::vector<SourcePacket> source = probe(dir.filePath("content/clips/red.mp4"));
    ASSERT_EQ(source.size(), 20u);

    setProgramme(workDir, schedule(thisSecond(), { { "clips/red.mp4", 3600 } }), {});
    player.start();
    // The window opens as the player starts: it plays the file from its start, each packet when
    // its time stamp is due.
    ASSERT_TRUE(clock.runUntil(5.5));
    const std::vector<ReceivedPacket> received = collector.packets();
    ASSERT_GE(received.size(), 50u);
    EXPECT_TRUE(received.front().codecChange);
    EXPECT_TRUE(received.front().key);
    EXPECT_EQ(received.front().metadata.value("url").toString(), "clips/red.mp4");
    EXPECT_EQ(received.front().metadata.value("playlist").toString(), "main");
    EXPECT_EQ(received.front().metadata.value("file").toString(), "1");

    const QStringList base = received.front().metadata.value("timeBase").toString().split('/');
    const AVRational timeBase { base.value(0).toInt(), std::max(1, base.value(1).toInt()) };
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
        // Each packet goes out when it is due; those due before the start go out at once.
        EXPECT_EQ(
            received[i].sentMs, std::max<qint64>(0, s.dts * 1000 * timeBase.num / timeBase.den))
            << i;
    }

    // Shorter than its slot: the file starts again, with time stamps that keep growing and no
    // new codec configuration.
    const std::size_t firstPass = std::size_t(byDts.end() - first);
    const std::vector<ReceivedPacket>& looped = received;
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
    setProgramme(workDir, schedule(thisSecond().addSecs(-5), { { "red.mp4", 3600 } }), {});
    player.start();
    ASSERT_TRUE(clock.runUntil(1));
    ASSERT_FALSE(collector.packets().empty());
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
    setProgramme(workDir, schedule(opens, { { "red.mp4", 3600 } }), {});
    player.start();
    ASSERT_TRUE(clock.runUntil(1.25));

    // The same schedule again (a daily re-application): no break, no new configuration.
    setProgramme(workDir, schedule(opens, { { "red.mp4", 3600 } }), {});
    ASSERT_TRUE(clock.runUntil(2.25));
    std::vector<ReceivedPacket> received = collector.packets();
    ASSERT_GE(received.size(), 22u);
    for (std::size_t i = 1; i < received.size(); ++i) {
        EXPECT_FALSE(received[i].codecChange) << i;
        EXPECT_GT(received[i].dts, received[i - 1].dts) << i;
    }

    // Another file now: it starts at once, with a new configuration, not at the end of the red
    // slot an hour later.
    setProgramme(workDir, schedule(opens, { { "blue.mp4", 3600 } }), {});
    ASSERT_TRUE(clock.runUntil(3));
    received = collector.packets();
    const auto blue = std::find_if(received.begin(), received.end(),
        [](auto& p) { return p.metadata.value("url").toString() == "blue.mp4"; });
    ASSERT_NE(blue, received.end());
    EXPECT_EQ(blue->sentMs, 2250);
    EXPECT_TRUE(blue->codecChange);
    EXPECT_TRUE(blue->key);
    player.stop();
}

TEST_F(StreamPlayerTest, AMissingOrDamagedFileShowsThePlaceholderAndTheEngineGoesOn)
{
    ASSERT_TRUE(makeClipWithSound(dir.filePath("content/placeholder.mp4"), 1));
    ASSERT_TRUE(makeClipWithSound(dir.filePath("content/good.mp4"), 1));
    QFile damaged(dir.filePath("content/damaged.mp4"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(4096, 'x'));
    damaged.close();

    setProgramme(workDir,
        schedule(thisSecond(),
            { { "missing.mp4", 2 }, { "damaged.mp4", 2 }, { "../outside.mp4", 2 },
                { ".//./good.mp4", 2 } }),
        "./placeholder.mp4");
    player.start();
    ASSERT_TRUE(clock.runUntil(7));
    const std::vector<ReceivedPacket> received = collector.packets();
    // Each failed slot showed the placeholder, naming the slot it stood in for, without its sound;
    // names are told as the directory has them.
    QStringList shown;
    for (const ReceivedPacket& p : received)
        if (p.codecChange)
            shown << p.metadata.value("url").toString()
                    + (p.metadata.value("placeholder").toBool() ? "*:" : ":") + p.track;
    EXPECT_EQ(shown.mid(0, 3), QStringList(3, "placeholder.mp4*:video"));
    EXPECT_EQ(
        QSet<QString>(shown.begin() + 3, shown.begin() + std::min<qsizetype>(5, shown.size())),
        QSet<QString>({ "good.mp4:video", "good.mp4:audio" }));
    player.stop();
}

// The account of plays in virtual time: a slot played to its end, one whose file is missing with
// the placeholder standing in, one cut by a new programme and one cut by the stop; each told once,
// from its first packet to where it stopped.
TEST_F(StreamPlayerTest, EveryPlayedSlotIsToldOnceWithItsOutcome)
{
    struct Observer : StreamPlayObserver
    {
        const VirtualClock& clock;
        QStringList told;
        explicit Observer(const VirtualClock& clock)
            : clock(clock)
        {
        }
        void started(const StreamPlay& play) override
        {
            told << QStringLiteral("start %1 %2").arg(play.slot.url).arg(clock.elapsedMs());
        }
        void ended(const StreamPlay& play) override
        {
            told << QStringLiteral("%1 %2 %3-%4 %5%6")
                        .arg(play.slot.url)
                        .arg(int(play.outcome))
                        .arg(clock.wallNow().addMSecs(-clock.elapsedMs()).msecsTo(play.start))
                        .arg(clock.wallNow().addMSecs(-clock.elapsedMs()).msecsTo(play.end))
                        .arg(play.slot.file)
                        .arg(play.slot.placeholder ? "*" : "");
        }
    };
    ASSERT_TRUE(makeClip(dir.filePath("content/red.mp4"), "red", 2));
    ASSERT_TRUE(makeClip(dir.filePath("content/blue.mp4"), "blue", 2));
    ASSERT_TRUE(makeClip(dir.filePath("content/idle.mp4"), "gray", 1));
    auto observer = std::make_shared<Observer>(clock);
    player.setObserver(observer);
    setProgramme(
        workDir, schedule(thisSecond(), { { "red.mp4", 2 }, { "missing.mp4", 2 } }), "idle.mp4");
    player.start();
    ASSERT_TRUE(clock.runUntil(5));
    setProgramme(workDir, schedule(thisSecond(), { { "blue.mp4", 3600 } }), "idle.mp4");
    ASSERT_TRUE(clock.runUntil(6));
    player.stop();
    using O = StreamPlay::Outcome;
    EXPECT_EQ(observer->told,
        (QStringList { "start red.mp4 0", QStringLiteral("red.mp4 %1 0-2000 1").arg(int(O::played)),
            "start missing.mp4 2000",
            QStringLiteral("missing.mp4 %1 2000-4000 2*").arg(int(O::failed)), "start red.mp4 4000",
            QStringLiteral("red.mp4 %1 4000-5000 1").arg(int(O::cut)), "start blue.mp4 5000",
            QStringLiteral("blue.mp4 %1 5000-6000 1").arg(int(O::cut)) }));
}

// The placeholder standing in for a file that cannot be played is not that file: a programme set
// again (the daily application of the same playlist) finds the same slot and the same stand-in,
// and the placeholder goes on without a break instead of starting over.
TEST_F(StreamPlayerTest, AStandInGoesOnWhenTheSameProgrammeIsSetAgain)
{
    ASSERT_TRUE(makeClip(dir.filePath("content/placeholder.mp4"), "red", 2));
    const QTime opens = thisSecond();
    setProgramme(workDir, schedule(opens, { { "missing.mp4", 3600 } }), "placeholder.mp4");
    player.start();
    ASSERT_TRUE(clock.runUntil(1.25));
    setProgramme(workDir, schedule(opens, { { "missing.mp4", 3600 } }), "placeholder.mp4");
    ASSERT_TRUE(clock.runUntil(3.25));
    const std::vector<ReceivedPacket> received = collector.packets();
    ASSERT_GE(received.size(), 30u);
    EXPECT_TRUE(received.front().codecChange);
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].metadata.value("url").toString(), "placeholder.mp4") << i;
        EXPECT_TRUE(received[i].metadata.value("placeholder").toBool()) << i;
        if (i > 0) {
            EXPECT_FALSE(received[i].codecChange) << i;
            EXPECT_GT(received[i].dts, received[i - 1].dts) << i;
        }
    }
    player.stop();
}

TEST_F(StreamPlayerTest, StopsPromptlyWhileWaitingAndAfterward)
{
    // Nothing scheduled and no placeholder: the engine waits; stopping wakes it (or this hangs).
    setProgramme(workDir, QSharedPointer<Generator>::create(), {});
    player.start();
    EXPECT_TRUE(player.running());
    ASSERT_TRUE(clock.runUntil(3600));
    player.stop();
    EXPECT_FALSE(player.running());
    EXPECT_TRUE(collector.packets().empty());
}

// A delivery switch while the engine runs flat out through virtual time: once setProgramme has
// returned, every packet is the new directory's file under the new schedule, and no packet ever
// pairs one schedule with the other directory.
TEST_F(StreamPlayerTest, AfterADeliverySwitchEveryPacketIsOfTheNewDeliveryAlone)
{
    // The same name in both directories; the frame rates (and so the time bases) tell them apart.
    ASSERT_TRUE(QDir(dir.path()).mkpath("delivery_b"));
    ASSERT_TRUE(makeClip(dir.filePath("content/clip.mp4"), "red", 2, 10));
    ASSERT_TRUE(makeClip(dir.filePath("delivery_b/clip.mp4"), "blue", 2, 25));
    setProgramme(
        dir.filePath("content"), schedule(thisSecond(), { { "clip.mp4", 3600 } }, "old"), {});
    player.start();
    clock.let(12 * 3600);
    ASSERT_TRUE(collector.waitFor([](const auto& p) { return p.size() >= 100; }, 60s));
    setProgramme(
        dir.filePath("delivery_b"), schedule(thisSecond(), { { "clip.mp4", 3600 } }, "new"), {});
    const std::size_t switched = collector.packets().size();
    ASSERT_TRUE(collector.waitFor([&](const auto& p) { return p.size() >= switched + 100; }, 60s));
    player.stop();

    // Schedule and file of each packet: the old pair until a point no later than the switch,
    // from there on the new pair alone.
    const std::vector<ReceivedPacket> received = collector.packets();
    const auto pair = [](const ReceivedPacket& p) {
        return p.metadata.value("playlist").toString() + p.metadata.value("timeBase").toString();
    };
    const QString old = pair(received.front());
    const auto first = std::find_if(
        received.begin(), received.end(), [&](const auto& p) { return pair(p) != old; });
    ASSERT_LE(first - received.begin(), qsizetype(switched));
    EXPECT_TRUE(first->codecChange && first->key);
    EXPECT_TRUE(old.startsWith("old") && pair(*first).startsWith("new"));
    EXPECT_NE(old.mid(3), pair(*first).mid(3));
    for (auto p = first; p != received.end(); ++p)
        EXPECT_EQ(pair(*p), pair(*first)) << p - received.begin();
}

// Picture and sound of one file: each track as messages of its own, packet for packet the file's,
// the picture when it is due and the sound in batches a little ahead of it, never late.
TEST_F(StreamPlayerTest, SendsPictureAndSoundInStepEachPacketForPacket)
{
    const QString clip = dir.filePath("content/both.mp4");
    ASSERT_TRUE(makeClipWithSound(clip, 2));
    setProgramme(workDir, schedule(thisSecond(), { { "both.mp4", 3600 } }), {});
    player.start();
    ASSERT_TRUE(clock.runUntil(1.9));
    player.stop();

    for (const QString track : { "video", "audio" }) {
        SCOPED_TRACE(track.toStdString());
        const std::vector<SourcePacket> source = probe(clip, track == "video" ? "v:0" : "a:0");
        const std::vector<ReceivedPacket> received = collector.packets(track);
        ASSERT_GE(received.size(), source.size() / 2);
        const QJsonObject& metadata = received.front().metadata;
        EXPECT_EQ(metadata.value("track").toString(), track);
        EXPECT_EQ(metadata.value("tracks").toArray(), QJsonArray({ "video", "audio" }));
        const QStringList base = metadata.value("timeBase").toString().split('/');
        std::vector<SourcePacket> byDts = source;
        std::stable_sort(
            byDts.begin(), byDts.end(), [](auto& a, auto& b) { return a.dts < b.dts; });
        // The first pass; sound of the second may ride with the last batch of the first.
        for (std::size_t i = 0; i < std::min(received.size(), byDts.size()); ++i) {
            const ReceivedPacket& r = received[i];
            EXPECT_EQ(r.codecChange, i == 0) << i;
            EXPECT_EQ(std::tie(r.dts, r.pts, r.size, r.crc),
                std::tie(byDts[i].dts, byDts[i].pts, byDts[i].size, byDts[i].crc))
                << i;
            const qint64 dueMs = std::max<qint64>(
                0, r.dts * 1000 * base.value(0).toLongLong() / base.value(1).toLongLong());
            EXPECT_LE(r.sentMs, dueMs) << i;
            EXPECT_GE(r.sentMs, dueMs - (track == "video" ? 0 : 200)) << i;
        }
    }
    // Sound rides in a few messages: at least four of its packets in each.
    EXPECT_LE(collector.messages("audio") * 4, int(collector.packets("audio").size()));
}

// A file plays in whole passes: as often as it fits its slot, every packet of each pass, nothing
// of a pass the slot's end would cut; only a file longer than its slot is cut.
TEST(StreamPlayerPasses, AFileThatFitsItsSlotPlaysWhole)
{
    struct Case
    {
        double file;
        int slot;
        // Seconds into the slot at which the engine starts.
        int joined;
        // Whole passes expected, or -1: cut at the slot's end.
        int passes;
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const Case& c : std::initializer_list<Case> {
             { 10, 10, 0, 1 }, { 2, 5, 0, 2 }, { 2, 3, 0, 1 }, { 2, 3, 2, 0 }, { 4, 3, 0, -1 } }) {
        SCOPED_TRACE(testing::Message() << c.file << " s in " << c.slot << " s from " << c.joined);
        const QString name = QString("clip%1.mp4").arg(c.file);
        ASSERT_TRUE(
            QFile::exists(dir.filePath(name)) || makeClipWithSound(dir.filePath(name), c.file));
        const QTime opens(10, 0);
        VirtualClock clock(QDateTime(QDate(2026, 3, 2), opens.addSecs(c.joined)));
        Collector collector(clock);
        detail::StreamPlayer player(log::Manager::logger("vesk.stream"),
            std::make_unique<CollectingSink>(collector), clock);
        Playlist playlist;
        playlist.section = "main";
        playlist.starttime = opens;
        playlist.endtime = QTime(23, 59, 59);
        Playlist::File file;
        file.url = name.toUtf8();
        file.timeplay = std::chrono::seconds(c.slot);
        playlist.files = { file };
        auto generator = QSharedPointer<Generator>::create();
        generator->setPlaylists({ playlist });
        player.setProgramme(
            file::openDirectory(dir.path().toStdString()), dir.path(), generator, {});
        player.start();
        // To the last moment of the slot.
        ASSERT_TRUE(clock.runUntil(c.slot - c.joined - 0.001));
        player.stop();

        for (const QString track : { "video", "audio" }) {
            const std::vector<SourcePacket> source
                = probe(dir.filePath(name), track == "video" ? "v:0" : "a:0");
            const std::vector<ReceivedPacket> received = collector.packets(track);
            if (c.passes == 0) {
                EXPECT_TRUE(received.empty()) << track.toStdString();
                continue;
            }
            ASSERT_FALSE(received.empty()) << track.toStdString();
            const QStringList base
                = received.front().metadata.value("timeBase").toString().split('/');
            const double unit = base.value(0).toDouble() / base.value(1).toDouble();
            if (c.passes < 0) {
                // Cut: what is due before the end, nothing after.
                const auto due = std::count_if(source.begin(), source.end(),
                    [&](const SourcePacket& p) { return p.dts * unit < c.slot; });
                EXPECT_EQ(qsizetype(received.size()), due) << track.toStdString();
                continue;
            }
            // Every pass is the whole file, the last picture in presentation order included, and
            // each pass follows the one before by the file's length, both tracks alike; the sound's
            // priming plays once, before the first.
            const qint64 length = qRound64(c.file / unit);
            std::vector<std::pair<qint64, QByteArray>> expected;
            for (int pass = 0; pass < c.passes; ++pass)
                for (const SourcePacket& p : source)
                    if (pass == 0 || p.pts >= 0)
                        expected.emplace_back(p.pts + pass * length, p.crc);
            std::vector<std::pair<qint64, QByteArray>> got;
            for (const ReceivedPacket& r : received)
                got.emplace_back(r.pts, r.crc);
            EXPECT_EQ(got, expected) << track.toStdString();
        }
    }
}
