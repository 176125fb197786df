#include "darkwatch.h"
#include "fleetmetrics.h"
#include "fleetpage.h"
#include "heartbeattable.h"
#include "hookrunner.h"
#include "listen.h"

#include <vesk/ssl/crypto.h>
#include <vesk/protocol/timetext.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace vesk;
using namespace vesk::manage;
using namespace std::chrono_literals;

namespace {

const QDateTime t0 = QDateTime::fromString("2026-12-08T12:00:00.000+03:00", Qt::ISODateWithMs);

RegisterState paired(const QString& name)
{
    RegisterState state;
    state.name = name;
    state.address = QHostAddress("10.0.0.7");
    state.port = 49152;
    state.token = QUuid::createUuid();
    state.sharedKey = QByteArray(32, char(name.size()));
    return state;
}

// A heartbeat as the register seals it.
QByteArray beat(const RegisterState& state, const QDateTime& registerTime)
{
    ssl::SharedKey shared;
    shared.trySetKey(state.sharedKey);
    const auto sealed = ssl::encryptWithGcm(shared.bytes(),
        QJsonDocument(QJsonObject { { "datetime", registerTime.toString(Qt::ISODateWithMs) } })
            .toJson(QJsonDocument::Compact));
    return state.token.toRfc4122() + sealed.getIv() + sealed.getCiphertext() + sealed.getTag();
}

// Runs the event loop until `done` or ten seconds: the processes' ends come through it.
template <typename Done> bool spinUntil(Done done)
{
    const QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// A real program's answer to stdin, with its exit status.
std::pair<int, QByteArray> runTool(
    const QString& program, const QStringList& arguments, const QByteArray& input = {})
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return { -1, "did not finish" };
    return { process.exitCode(), process.readAllStandardOutput() + process.readAllStandardError() };
}

} // namespace

TEST(ParseDuration, ReadsTheFormsOfItsTable)
{
    const std::pair<const char*, std::optional<std::chrono::milliseconds>> cases[]
        = { { "90s", 90s }, { "3m", 3min }, { "1h", 1h }, { "250ms", 250ms },
              { "90", std::nullopt }, { "-3m", std::nullopt }, { "3 m", std::nullopt },
              { "1d", std::nullopt }, { "", std::nullopt } };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parseDuration(QString::fromLatin1(text)), expected) << text;
}

// Two registers through beats, silence, a restart and a re-pairing, in virtual time: each change
// is said once, and its hook runs once with the news in its environment, never its arguments.
TEST(DarkWatch, SaysEachChangeOnceAndItsHookRunsWithTheNews)
{
    const RegisterState a = paired("a");
    const RegisterState b = paired("b");
    HeartbeatTable table({ 60s, 512 });
    table.setRegisters({ a, b }, t0);
    DarkWatch watch(180s);
    QTemporaryDir scratch;
    const QString told = scratch.filePath("told");
    HookRunner hooks({ 30s, 2, 100 });
    const QStringList hook { "/bin/sh", "-c",
        "printf '%s %s %s %s\\n' \"$VESK_EVENT\" \"$VESK_REGISTER\" \"$VESK_ADDRESS\" "
        "\"$VESK_LAST_BEAT\" >> \"$0\"",
        told };

    struct Step
    {
        int second;
        const RegisterState* beats; // nullptr: only the time passes
        QStringList said; // what check() and beat() said at this step, "dark a" / "back a"
    };
    const Step steps[] = {
        { 0, &a, {} }, // the first beat: alive, no news
        { 60, &a, {} },
        { 179, nullptr, {} }, // b never beat: dark 180 s after the table began waiting
        { 180, nullptr, { "dark b" } },
        { 200, nullptr, {} }, // said once
        { 239, nullptr, {} }, // a's last beat at 60: not yet
        { 240, nullptr, { "dark a" } },
        { 600, nullptr, {} },
        { 601, &a, { "back a" } }, // a restarted
        { 602, &a, {} },
        { 603, &b, { "back b" } },
        { 700, &a, {} },
        { 783, nullptr, { "dark b" } },
    };
    QStringList expectedHooks;
    for (const Step& step : steps) {
        const QDateTime now = t0.addSecs(step.second);
        QStringList said;
        if (step.beats) {
            qsizetype index = -1;
            ASSERT_EQ(table.addDatagram(beat(*step.beats, now), "10.0.0.9:4000", now, &index),
                HeartbeatTable::Verdict::accepted);
            if (const auto change = watch.beat(table.rows()[index]))
                said.append("back " + change->name);
        }
        for (const DarkWatch::Change& change : watch.check(table, now))
            said.append("dark " + change.name);
        EXPECT_EQ(said, step.said) << step.second;
        for (const QString& news : said) {
            const HeartbeatTable::Row& row = table.rows()[news.endsWith(u'a') ? 0 : 1];
            const bool dark = news.startsWith("dark");
            const DarkWatch::Change change { row.name,
                dark ? DarkWatch::State::dark : DarkWatch::State::alive, now };
            hooks.run(hook, changeEnvironment(change, row), {});
            expectedHooks.append(QStringLiteral("%1 %2 %3 %4")
                                     .arg(dark ? "dark" : "back", row.name,
                                         row.from.isEmpty() ? "10.0.0.7:49152" : row.from,
                                         row.received ? protocol::wireTime(*row.received) : ""));
        }
    }
    EXPECT_EQ(watch.entry("a").state, DarkWatch::State::alive);
    EXPECT_EQ(watch.entry("b").state, DarkWatch::State::dark);
    EXPECT_EQ(watch.entry("b").since, t0.addSecs(603));
    // Pairing b anew while it is dark does not say it dark again; a's silence is said.
    table.setRegisters({ a, paired("b") }, t0.addSecs(800));
    const QList<DarkWatch::Change> later = watch.check(table, t0.addSecs(1000));
    ASSERT_EQ(later.size(), 1);
    EXPECT_EQ(later.front().name, "a");

    ASSERT_TRUE(spinUntil([&] { return hooks.counters().succeeded == 5; }));
    QFile file(told);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    // Two run at once: their lines may come in either order, each exactly once.
    lines.sort();
    expectedHooks.sort();
    EXPECT_EQ(lines, expectedHooks);
}

// A hook that hangs is killed at its time-out on the clock passed in; a full queue drops news and
// counts it; the listener never waits for any of them.
TEST(HookRunner, KillsWhatOverrunsAndBoundsWhatWaits)
{
    using Clock = HookRunner::Clock;
    const Clock::time_point start {};
    HookRunner hooks({ 10s, 1, 2 });
    const QStringList hang { "/bin/sleep", "600" };
    hooks.run(hang, {}, start);
    hooks.run({ "/bin/false" }, {}, start);
    hooks.run({ "/bin/true" }, {}, start);
    hooks.run({ "/bin/true" }, {}, start); // one running, two waiting: no room
    hooks.run({ "/nonexistent/hook" }, {}, start);
    EXPECT_EQ(hooks.runningCount(), 1);
    EXPECT_EQ(hooks.queuedCount(), 2);
    EXPECT_EQ(hooks.counters().dropped, 2u);

    hooks.tick(start + 9s);
    EXPECT_EQ(hooks.counters().killed, 0u);
    hooks.tick(start + 10s);
    ASSERT_TRUE(spinUntil([&] { return hooks.counters().killed == 1; }));
    ASSERT_TRUE(spinUntil([&] { return hooks.runningCount() == 0 && hooks.queuedCount() == 0; }));
    const HookRunner::Counters& c = hooks.counters();
    EXPECT_EQ((std::array { c.started, c.succeeded, c.failed, c.killed, c.dropped }),
        (std::array<quint64, 5> { 3, 1, 1, 1, 2 }));
}

// Names that need escaping, registers with and without beats, every refusal counted: what a
// scrape gets passes the real promtool and says what the table holds.
TEST(FleetMetrics, ScrapePassesPromtoolAndSaysTheTable)
{
    const RegisterState quoted = paired("shop \"7\" \\ east\nwing");
    const RegisterState alive = paired("shop-1");
    HeartbeatTable table({ 60s, 512 });
    table.setRegisters({ quoted, alive, paired("never") }, t0);
    table.addDatagram(beat(alive, t0.addMSecs(1500)), "10.0.0.8:4000", t0.addSecs(1));
    table.addDatagram(beat(quoted, t0), "10.0.0.9:4000", t0);
    table.addDatagram(QByteArray(600, 'x'), "x", t0);
    table.addDatagram(beat(paired("stranger"), t0), "x", t0);
    DarkWatch watch(200s);
    watch.beat(table.rows()[1]);
    watch.beat(table.rows()[2]);
    watch.check(table, t0.addSecs(200));
    const QByteArray text
        = metricsText(table, watch, HookRunner::Counters { 3, 1, 1, 1, 0 }, t0.addSecs(200));

    const auto [status, said] = runTool("promtool", { "check", "metrics" }, text);
    EXPECT_EQ(status, 0) << said.constData() << "\n" << text.constData();
    const QByteArrayList expected {
        "vesk_manage_registers 3",
        "vesk_manage_register_up{register=\"shop \\\"7\\\" \\\\ east\\nwing\"} 0",
        "vesk_manage_register_up{register=\"never\"} 0",
        "vesk_manage_register_up{register=\"shop-1\"} 1",
        "vesk_manage_register_last_beat_age_seconds{register=\"shop-1\"} 199",
        "vesk_manage_register_beats_missed_total{register=\"never\"} 2",
        "vesk_manage_register_clock_offset_seconds{register=\"shop-1\"} 0.5",
        "vesk_manage_beats_accepted_total 2",
        "vesk_manage_datagrams_refused_total{cause=\"oversized\"} 1",
        "vesk_manage_datagrams_refused_total{cause=\"unknown_token\"} 1",
        "vesk_manage_hooks_total{outcome=\"killed\"} 1",
    };
    const QByteArrayList lines = text.split('\n');
    for (const QByteArray& line : expected)
        EXPECT_TRUE(lines.contains(line)) << line.constData() << "\n" << text.constData();
    EXPECT_FALSE(text.contains("last_beat_age_seconds{register=\"never\"}"));
}

// The page as a browser reads it: headless chromium's DOM holds every row's text, a name made of
// markup is text and no element, and a screenshot is left beside the test for a person to see.
TEST(FleetPage, ChromiumReadsEveryRowAsText)
{
    const RegisterState hostile = paired("<script>alert(1)</script>");
    const RegisterState alive = paired("shop-1");
    HeartbeatTable table({ 60s, 512 });
    table.setRegisters({ hostile, alive }, t0);
    table.addDatagram(beat(alive, t0.addMSecs(97750)), "10.0.0.8:4000", t0.addSecs(100));
    DarkWatch watch(180s);
    watch.beat(table.rows()[1]);
    watch.check(table, t0.addSecs(200));
    // What deliver keeps, read back as the listener reads it.
    QTemporaryDir state;
    const DeliveryRecords records(state.path());
    records.save("shop-1",
        { { "fedcba9876543210", "/srv/content/week-51", t0.addSecs(-60) }, "refused",
            { "0123456789abcdef", "/srv/content/<week 50>", t0.addSecs(-3600) } });
    const QHash<QString, DeliveryRecord> deliveries = deliveriesOf(table, records);
    EXPECT_EQ(deliveries.keys(), QStringList { "shop-1" });

    QTemporaryDir scratch;
    const QString path = scratch.filePath("fleet.html");
    QString error;
    ASSERT_TRUE(writePage(path, "half a page", error)) << error.toStdString();
    ASSERT_TRUE(writePage(path, pageHtml(table, watch, deliveries, t0.addSecs(200), 6s), error))
        << error.toStdString();
    // Replaced whole: nothing but the page is left in the directory.
    EXPECT_EQ(QDir(scratch.path()).entryList(QDir::Files), QStringList { "fleet.html" });

    const QStringList browser { "--headless", "--no-sandbox", "--disable-gpu",
        "--user-data-dir=" + scratch.filePath("profile") };
    const auto [status, dom]
        = runTool("chromium", browser + QStringList { "--dump-dom", "file://" + path });
    ASSERT_EQ(status, 0) << dom.constData();
    const QString text = QString::fromUtf8(dom);
    EXPECT_FALSE(text.contains("<script>")) << text.toStdString();
    const QStringList shown { "&lt;script&gt;alert(1)&lt;/script&gt;</td><td>dark</td>",
        "2 registers, 1 dark", "<td>shop-1</td><td>alive</td>", "from 10.0.0.8:4000",
        "<td>-2.250 s</td>", "0123456789abcdef /srv/content/&lt;week 50&gt;",
        "fedcba9876543210 /srv/content/week-51 (2026-12-08 11:59:00): refused" };
    for (const QString& piece : shown)
        EXPECT_TRUE(text.contains(piece)) << piece.toStdString() << "\n" << text.toStdString();

    const QString screenshot = QDir::current().filePath("fleet-page.png");
    QFile::remove(screenshot);
    const auto [shot, said] = runTool("chromium",
        browser
            + QStringList {
                "--window-size=1400,400", "--screenshot=" + screenshot, "file://" + path });
    EXPECT_EQ(shot, 0) << said.constData();
    EXPECT_GT(QFileInfo(screenshot).size(), 1000);

    EXPECT_FALSE(writePage(scratch.filePath("missing/fleet.html"), "x", error));
    EXPECT_TRUE(error.contains("missing/fleet.html")) << error.toStdString();
}
