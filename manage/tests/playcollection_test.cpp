#include "playcollection.h"
#include "playreport.h"
#include "playstore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace vesk;
using namespace vesk::manage;
using Status = CollectionResult::Status;

namespace {

const QString ledgerA = QStringLiteral("6f1e0c3a-2b4d-4e5f-8a9b-0c1d2e3f4a5b");
const QString ledgerB = QStringLiteral("a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d");

// The register is the stand-in vesk-plays of tests/data, run by sh as the SSH gate would run
// the command line; its ledger and its faults are set through the environment.
class Register
{
public:
    explicit Register(const QString& directory)
        : m_state(directory + QStringLiteral("/ledger.json"))
    {
        qputenv("PATH", VESK_PLAYS_STANDIN_DIR ":" + qgetenv("PATH"));
        qputenv("VESK_PLAYS_STATE", m_state.toUtf8());
    }

    void setLedger(const QString& ledger, qint64 last, const QJsonArray& gaps = {})
    {
        QFile file(m_state);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject { { "ledger", ledger }, { "last", last },
                                     { "gaps", gaps }, { "acked", 0 } })
                       .toJson());
    }

    QJsonObject state() const
    {
        QFile file(m_state);
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }

    CollectionResult collect(PlayStore& store, const char* fault)
    {
        qputenv("VESK_PLAYS_FAULT", fault);
        const RemoteCommand remote = [](const QString& command, const auto& onOutput) {
            return runProgram(
                QStringLiteral("/bin/sh"), { QStringLiteral("-c"), command }, 0, 60000, onOutput);
        };
        return collectPlays(store, QStringLiteral("kasse-1"), remote, CollectionLimits { 1000 });
    }

private:
    QString m_state;
};

QString tool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(60000);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().constData();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

// One register through a day of trouble, step by step; after each step the store is read with
// the sqlite3 tool and the register is asked what it was told to forget. Nothing is stored
// twice or half, and nothing is acknowledged that was not committed.
TEST(PlayCollection, StoresEachRecordOnceAndAcknowledgesOnlyWhatIsCommitted)
{
    QTemporaryDir directory;
    Register shop(directory.path());
    shop.setLedger(ledgerA, 2500, QJsonArray { QJsonArray { 1200, 1210, "full" } });
    const QString file = directory.filePath(QStringLiteral("plays.sqlite"));
    StoreLocation location;
    location.path = file;
    PlayStore store(location);
    const auto stored = [&] {
        return tool(QStringLiteral("sqlite3"),
            { file,
                QStringLiteral("SELECT COUNT(*) || ' ' || COALESCE(MAX(seq), 0) FROM plays; "
                               "SELECT COALESCE(SUM(count), 0) FROM gaps; "
                               "SELECT COUNT(*) FROM ledgers") })
            .replace(u'\n', u'/')
            .toStdString();
    };
    struct Step
    {
        const char* fault;
        const char* sql; // run with the sqlite3 tool before the step
        Status status;
        const char* stored; // plays and highest seq / gap records / ledgers
        int acked;
    };
    const Step steps[] = {
        { "lost", "", Status::unreachable, "0 0/0/0", 0 },
        { "torn", "", Status::refused, "0 0/0/0", 0 },
        // A crash between the commit and the acknowledgement: the batch stays, unacknowledged.
        { "ackfail", "", Status::unreachable, "1000 1000/0/1", 0 },
        { "reuse", "", Status::refused, "1000 1000/0/1", 0 },
        // The disk fills in the middle of the next batch: none of it is kept or acknowledged.
        { "",
            "CREATE TRIGGER full BEFORE INSERT ON plays WHEN NEW.seq = 1500 "
            "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END",
            Status::store, "1000 1000/0/1", 0 },
        { "ackfail", "DROP TRIGGER full", Status::unreachable, "1999 2010/11/1", 0 },
        { "ackfail", "", Status::unreachable, "2489 2500/11/1", 0 },
        // Nothing new to read, but the acknowledgement is owed.
        { "", "", Status::done, "2489 2500/11/1", 2500 },
        { "", "", Status::done, "2489 2500/11/1", 2500 },
    };
    for (const Step& step : steps) {
        if (*step.sql)
            tool(QStringLiteral("sqlite3"), { file, QLatin1String(step.sql) });
        const CollectionResult result = shop.collect(store, step.fault);
        EXPECT_EQ(result.status, step.status) << step.fault << result.error.toStdString();
        EXPECT_EQ(result.error.isEmpty(), step.status == Status::done) << step.fault;
        EXPECT_EQ(stored(), step.stored) << step.fault;
        EXPECT_EQ(shop.state().value("acked").toInt(), step.acked) << step.fault;
    }
    // One acknowledgement for everything, once.
    EXPECT_EQ(shop.state().value("acks").toArray(), (QJsonArray { 2500 }));

    // The home was wiped: a new ledger, read from its start and kept apart from the old one.
    shop.setLedger(ledgerB, 5);
    EXPECT_EQ(shop.collect(store, "").status, Status::done);
    EXPECT_EQ(stored(), "2494 2500/11/2");
    EXPECT_EQ(tool(QStringLiteral("sqlite3"),
                  { file, "SELECT COUNT(*) FROM plays WHERE ledger = '" + ledgerB + "'" }),
        "5");
    EXPECT_EQ(shop.state().value("acked").toInt(), 5);

    // The report counts what the stand-in generated: even seqs played, odd ones cut 10 s early,
    // every 97th interrupted at once with the placeholder standing in.
    ReportOptions options;
    options.by = { QStringLiteral("register") };
    RegisterState wrongClock;
    wrongClock.name = QStringLiteral("kasse-1");
    wrongClock.clockOffsetMs = -75000;
    RegisterState rightClock = wrongClock;
    rightClock.clockOffsetMs = 59000;
    const Report report = buildReport(store, options, { wrongClock, rightClock });
    ASSERT_EQ(report.groups.size(), 1);
    const Report::Group& all = report.groups.front();
    EXPECT_EQ(all.plays, 2494);
    EXPECT_EQ(all.played + all.cut + all.interrupted, 2494);
    EXPECT_EQ(all.interrupted, 2500 / 97);
    EXPECT_EQ(all.placeholder, all.interrupted);
    EXPECT_EQ(all.milliseconds, all.played * 30000 + all.cut * 20000);
    ASSERT_EQ(report.gaps.size(), 1);
    EXPECT_EQ(report.gaps.front().full, 11);
    EXPECT_EQ(report.gaps.front().unaccounted, 0);
    ASSERT_EQ(report.clocks.size(), 1);
    EXPECT_EQ(report.clocks.front().offsetMs, -75000);
    const QJsonObject json
        = QJsonDocument::fromJson(reportText(report, ReportOptions::Format::json).toUtf8())
              .object();
    EXPECT_EQ(json.value("groups").toArray().at(0).toObject().value("plays").toInt(), 2494);
}

namespace {

// A throw-away PostgreSQL cluster of Debian's packages, on a unix socket in its own directory,
// run as the postgres account (the server refuses root).
class Postgres
{
public:
    static constexpr const char* bin = "/usr/lib/postgresql/15/bin/";

    Postgres()
    {
        m_directory.setAutoRemove(true);
        ::chmod(m_directory.path().toLocal8Bit().constData(), 0755);
        m_data = m_directory.filePath(QStringLiteral("data"));
        tool(QStringLiteral("chown"), { QStringLiteral("postgres"), m_directory.path() });
        asPostgres("initdb", { "-D", m_data, "-A", "trust", "-U", "postgres", "--no-sync" });
        asPostgres("pg_ctl",
            { "-D", m_data, "-w", "-l", m_directory.filePath("log"), "-o",
                "-k " + m_directory.path() + " -c listen_addresses=''", "start" });
    }
    ~Postgres() { stop(); }

    void stop()
    {
        if (!m_running)
            return;
        asPostgres("pg_ctl", { "-D", m_data, "-w", "-m", "immediate", "stop" });
        m_running = false;
    }

    QString url() const { return "postgresql://postgres@/postgres?host=" + m_directory.path(); }

    QString psql(const QString& sql) const
    {
        return tool(QStringLiteral("psql"),
            { "-h", m_directory.path(), "-U", "postgres", "-d", "postgres", "-Atc", sql });
    }

private:
    void asPostgres(const char* program, const QStringList& arguments)
    {
        tool(QStringLiteral("runuser"),
            QStringList { "-u", "postgres", "--", QLatin1String(bin) + QLatin1String(program) }
                + arguments);
    }

    QTemporaryDir m_directory;
    QString m_data;
    bool m_running = true;
};

} // namespace

// The same collection into PostgreSQL, and a PostgreSQL that goes down under it: a clear error,
// nothing more acknowledged.
TEST(PlayCollection, KeepsTheSameStoreInPostgresql)
{
    if (!QFile::exists(QLatin1String(Postgres::bin) + "initdb") || ::geteuid() != 0)
        GTEST_SKIP() << "needs Debian's postgresql-15 and root";
    QTemporaryDir directory;
    Register shop(directory.path());
    shop.setLedger(ledgerA, 1500, QJsonArray { QJsonArray { 10, 12, "lost" } });
    Postgres server;
    QString error;
    const std::optional<StoreLocation> location = StoreLocation::parse(server.url(), {}, error);
    ASSERT_TRUE(location) << error.toStdString();
    PlayStore store(*location);
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(shop.collect(store, "").status, Status::done);
        EXPECT_EQ(server.psql("SELECT COUNT(*), MAX(seq) FROM plays"), "1497|1500");
        EXPECT_EQ(server.psql("SELECT reason, count FROM gaps"), "lost|3");
        EXPECT_EQ(shop.state().value("acked").toInt(), 1500);
    }
    // The report's statements read PostgreSQL's sums as they read SQLite's.
    const Report report = buildReport(store, ReportOptions {}, {});
    ASSERT_EQ(report.groups.size(), 1);
    EXPECT_EQ(report.groups.front().plays, 1497);
    // Of 1..1500 without 10..12: 741 played, 741 cut, the 15 interrupted count nothing.
    EXPECT_EQ(report.groups.front().milliseconds, 741 * 30000 + 741 * 20000);
    ASSERT_EQ(report.gaps.size(), 1);
    EXPECT_EQ(report.gaps.front().lost, 3);
    shop.setLedger(ledgerA, 1600);
    server.stop();
    const CollectionResult down = shop.collect(store, "");
    EXPECT_EQ(down.status, Status::store);
    EXPECT_FALSE(down.error.isEmpty());
    EXPECT_FALSE(shop.state().contains("acks"));
}

// The table of StoreLocation::parse's comment.
TEST(PlayStore, NamesItsLocation)
{
    struct Case
    {
        const char* text;
        std::optional<StoreLocation::Kind> kind;
        const char* path; // the file, or the database's host and name
    };
    const Case cases[] = {
        { "", StoreLocation::Kind::sqlite, "/state/plays.sqlite" },
        { "/srv/plays.sqlite", StoreLocation::Kind::sqlite, "/srv/plays.sqlite" },
        { "sqlite:///srv/p.db", StoreLocation::Kind::sqlite, "/srv/p.db" },
        { "postgresql://u:pw@db.example:5433/vesk", StoreLocation::Kind::postgresql,
            "db.example vesk" },
        { "postgres:///vesk?host=/run/postgresql", StoreLocation::Kind::postgresql,
            "/run/postgresql vesk" },
        { "mysql://db/vesk", std::nullopt, "" },
        { "relative.db", std::nullopt, "" },
        { "postgresql://db.example", std::nullopt, "" },
    };
    for (const Case& c : cases) {
        QString error;
        const auto location = StoreLocation::parse(QLatin1String(c.text), "/state", error);
        ASSERT_EQ(location.has_value(), c.kind.has_value()) << c.text;
        EXPECT_EQ(error.isEmpty(), c.kind.has_value()) << c.text;
        if (!location)
            continue;
        EXPECT_EQ(location->kind, *c.kind) << c.text;
        EXPECT_EQ(location->kind == StoreLocation::Kind::sqlite
                ? location->path
                : location->host + u' ' + location->database,
            QLatin1String(c.path))
            << c.text;
    }
}
