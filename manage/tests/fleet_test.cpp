#include "delivery.h"
#include "deliveryrecord.h"
#include "fleetrun.h"
#include "fleetstatus.h"
#include "registerstate.h"
#include "selection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace vesk::manage;

namespace {

void put(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

RegisterState paired(const QString& name)
{
    RegisterState state;
    state.name = name;
    state.address = QHostAddress("10.77.0.11");
    state.port = 49152;
    state.token = QUuid::createUuid();
    state.sharedKey = QByteArray(32, 'k');
    state.catalog = "/var/lib/morlen-vesk/sync_dir";
    state.sshKey = "/srv/key";
    return state;
}

} // namespace

// The table of selection.h, and that a broken file of another register stands in no name's way.
TEST(Selection, NamesPatternsAndAllAsTheTableSays)
{
    QTemporaryDir dir;
    const StateStore store(dir.filePath("state"));
    for (const char* name : { "shop-2", "shop-1", "shop-10", "big-shop-1", "office" })
        store.save(paired(name));
    put(dir.filePath("state/broken"), "{}");
    struct Case
    {
        QStringList words;
        bool all;
        QStringList selected;
        const char* error;
    };
    const Case cases[] = {
        { { "shop-1" }, false, { "shop-1" }, nullptr },
        { { "shop-*" }, false, { "shop-1", "shop-10", "shop-2" }, nullptr },
        { { "shop-2", "shop-*" }, false, { "shop-2", "shop-1", "shop-10" }, nullptr },
        { { "shop-?" }, false, { "shop-1", "shop-2" }, nullptr },
        { { "shop-[12]*", "office" }, false, { "shop-1", "shop-10", "shop-2", "office" }, nullptr },
        { { "office" }, true, { "office", "big-shop-1", "shop-1", "shop-10", "shop-2" }, nullptr },
        { { "shop-9" }, false, {}, "no register called 'shop-9' has been paired" },
        { { "shop-1", "kiosk-*" }, false, {}, "the pattern 'kiosk-*' matches no paired register" },
        { {}, false, {}, "name a register, a pattern or --all" },
        { { "../shop-1" }, false, {}, "'../shop-1' is not a register's name" },
    };
    for (const Case& c : cases) {
        QString error;
        const std::optional<Selection> selection = selectRegisters(store, c.words, c.all, error);
        const QString label = c.words.join(' ') + (c.all ? " --all" : "");
        if (c.error) {
            EXPECT_FALSE(selection) << label.toStdString();
            EXPECT_TRUE(error.contains(c.error)) << error.toStdString();
            continue;
        }
        ASSERT_TRUE(selection) << error.toStdString();
        QStringList names;
        for (const RegisterState& state : selection->registers)
            names << state.name;
        EXPECT_EQ(names, c.selected) << label.toStdString();
        // Only patterns and --all read the other files, and only they say the broken one.
        const bool needAll = c.all || std::any_of(c.words.cbegin(), c.words.cend(), isPattern);
        EXPECT_EQ(selection->problems.size(), needAll ? 1 : 0) << label.toStdString();
    }
}

// TF is written once for all and only when it changes; a run that writes it waits for the runs
// still sending the old one; no run ever lists another's temporary TF.
TEST(PreparedContent, WritesTFOnlyWhenItChangesAndWaitsForTheOthersSending)
{
    QTemporaryDir dir;
    const QString content = dir.filePath("content");
    put(content + "/playlist.ini", "[a.1]\nurl=x.mp4\n");
    put(content + "/x.mp4", "x");
    QString error;
    std::atomic<int> waits = 0;
    const auto waiting = [&] { ++waits; };
    std::optional<PreparedContent> first = PreparedContent::prepare(content, waiting, error);
    ASSERT_TRUE(first) << error.toStdString();
    EXPECT_EQ(first->content().files, QStringList({ "playlist.ini", "x.mp4" }));
    QFile tf(content + "/TF");
    ASSERT_TRUE(tf.open(QIODevice::ReadOnly));
    EXPECT_EQ(tf.readAll(), first->content().transactionFile);
    EXPECT_EQ(first->delivery(), deliveryOf(first->content().transactionFile));
    const QDateTime written = QFileInfo(tf).lastModified();

    // The same content beside a run that sends it: no wait, no new TF.
    std::optional<PreparedContent> same = PreparedContent::prepare(content, waiting, error);
    ASSERT_TRUE(same);
    EXPECT_EQ(waits, 0);
    EXPECT_EQ(QFileInfo(content + "/TF").lastModified(), written);
    same->release();

    // New content waits until the first run has sent its TF, then writes its own.
    put(content + "/y.mp4", "y");
    std::optional<PreparedContent> changed;
    std::thread second([&] {
        QString secondError;
        changed = PreparedContent::prepare(content, waiting, secondError);
    });
    while (waits == 0)
        std::this_thread::yield();
    QFile stillOld(content + "/TF");
    ASSERT_TRUE(stillOld.open(QIODevice::ReadOnly));
    EXPECT_EQ(stillOld.readAll(), first->content().transactionFile);
    first->release();
    second.join();
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->content().files, QStringList({ "playlist.ini", "x.mp4", "y.mp4" }));
    QStringList left = QDir(content).entryList(QDir::Files | QDir::Hidden);
    left.sort();
    EXPECT_EQ(left, QStringList({ "TF", "playlist.ini", "x.mp4", "y.mp4" }));

    // No delivery: nothing written.
    put(dir.filePath("empty/playlist.ini"), "[a]\n");
    EXPECT_FALSE(PreparedContent::prepare(dir.filePath("empty"), waiting, error));
    EXPECT_TRUE(error.contains("names no media file")) << error.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("empty/TF")));
}

TEST(FleetSummary, ExitStatusSaysWhetherAllPlayed)
{
    using Stages = std::vector<Stage>;
    const std::pair<Stages, int> cases[] = {
        { { Stage::played, Stage::played }, exitDone },
        { { Stage::played, Stage::refused }, exitRefused },
        { { Stage::refused, Stage::unreachable }, exitTransport },
        { { Stage::played, Stage::unsettled }, exitTransport },
        { { Stage::failed }, exitTransport },
    };
    for (const auto& [stages, status] : cases) {
        FleetSummary summary;
        for (const Stage stage : stages)
            summary.count(stage);
        EXPECT_EQ(summary.exitStatus(), status) << summary.text().toStdString();
    }
    FleetSummary mixed;
    for (const Stage stage : { Stage::played, Stage::played, Stage::refused, Stage::unreachable,
             Stage::unsettled, Stage::failed })
        mixed.count(stage);
    EXPECT_EQ(mixed.text(),
        "6 registers: 2 played, 1 refused, 1 unreachable, 1 still retrying, 1 failed");
    // One register alone ends as deliver always did.
    const std::pair<Stage, int> alone[] = { { Stage::played, exitDone },
        { Stage::refused, exitRefused }, { Stage::unreachable, exitTransport },
        { Stage::failed, exitTransport }, { Stage::unsettled, exitTransport } };
    for (const auto& [stage, status] : alone) {
        EXPECT_TRUE(isFinal(stage));
        EXPECT_EQ(exitStatusOf(stage), status) << stageText(stage).toStdString();
    }
    for (const Stage stage : { Stage::queued, Stage::sending, Stage::held, Stage::verifying })
        EXPECT_FALSE(isFinal(stage));
}

// A line of status over many, from a register's status and what we delivered there; the latest
// delivery is the newest sent to any.
TEST(FleetStatus, RowsNameTheDeliveryAndWhereItCameFrom)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QJsonObject status {
        { "updated", now.toString(Qt::ISODateWithMs) },
        { "playing",
            QJsonObject {
                { "delivery", "00000000000000aa" }, { "applied", "2026-12-08T12:00:01" } } },
        { "sync",
            QJsonObject { { "outcome", "refused" }, { "delivery", "00000000000000bb" },
                { "reason", "a file does not match its checksum in TF\x1b[2J" } } },
        { "stream", QJsonObject { { "destination", "239.0.0.1:5004" }, { "datagrams", 12 } } },
    };
    DeliveryRecord record;
    record.played = { "00000000000000aa", "/srv/week-1", now.addDays(-1) };
    record.sent = { "00000000000000bb", "/srv/week-2", now };
    const RegisterStatusRow row = statusRow("shop-1", status, {}, record, now);
    EXPECT_TRUE(row.alive);
    EXPECT_EQ(row.delivery, "00000000000000aa");
    EXPECT_EQ(row.directory, "/srv/week-1");
    EXPECT_TRUE(row.sync.startsWith("refused: a file does not match")) << row.sync.toStdString();
    EXPECT_FALSE(row.sync.contains(QChar(0x1b)));
    EXPECT_EQ(row.stream, "to 239.0.0.1:5004, 12 datagrams");
    EXPECT_TRUE(row.text().startsWith("shop-1            00000000000000aa from /srv/week-1"))
        << row.text().toStdString();

    const RegisterStatusRow dark = statusRow("shop-2", std::nullopt, "ssh: no route", {}, now);
    EXPECT_EQ(dark.unreadable, "ssh: no route");
    EXPECT_TRUE(dark.toJson().value("running").isNull());

    DeliveryRecord older;
    older.sent = { "00000000000000aa", "/srv/week-1", now.addDays(-1) };
    EXPECT_EQ(latestDelivery({ older, record, DeliveryRecord {} }).delivery, "00000000000000bb");
    EXPECT_FALSE(latestDelivery({ DeliveryRecord {} }).valid());

    QTemporaryDir dir;
    const DeliveryRecords records(dir.path());
    records.save("shop-1", record);
    const DeliveryRecord loaded = records.load("shop-1");
    EXPECT_EQ(loaded.played.directory, "/srv/week-1");
    EXPECT_EQ(loaded.sent.delivery, "00000000000000bb");
    EXPECT_FALSE(records.load("shop-9").sent.valid());
}

TEST(ForEachParallel, RunsEveryIndexOnceAtMostNAtATime)
{
    std::mutex mutex;
    std::vector<int> seen(50, 0);
    int running = 0;
    int most = 0;
    forEachParallel(50, 4, [&](qsizetype i) {
        {
            const std::lock_guard lock(mutex);
            ++seen[std::size_t(i)];
            most = std::max(most, ++running);
        }
        std::this_thread::yield();
        const std::lock_guard lock(mutex);
        --running;
    });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 50);
    EXPECT_LE(most, 4);
}
