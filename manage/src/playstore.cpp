#include "playstore.h"

#include <QDateTime>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <QVariant>

namespace vesk::manage {

namespace {

// The schema this program writes; a store with a higher version is a newer program's.
constexpr int schemaVersion = 1;
// Another collection holding the SQLite file is waited for this long, not failed at once.
constexpr int busyTimeoutMs = 10000;

// The same statements serve SQLite and PostgreSQL: plain types, ON CONFLICT DO NOTHING.
const char* const schema[] = {
    "CREATE TABLE IF NOT EXISTS vesk_schema (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS ledgers (ledger TEXT PRIMARY KEY, register TEXT NOT NULL, "
    "stored BIGINT NOT NULL, first_collected BIGINT NOT NULL, last_collected BIGINT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS ledgers_register ON ledgers (register, last_collected)",
    "CREATE TABLE IF NOT EXISTS plays (ledger TEXT NOT NULL, seq BIGINT NOT NULL, "
    "day TEXT NOT NULL, playlist TEXT NOT NULL, file TEXT NOT NULL, url TEXT NOT NULL, "
    "checksum TEXT NOT NULL, delivery TEXT NOT NULL, scheduled_start TEXT NOT NULL, "
    "scheduled_end TEXT NOT NULL, start_time TEXT NOT NULL, end_time TEXT NOT NULL, "
    "duration_ms BIGINT NOT NULL, outcome TEXT NOT NULL, placeholder INTEGER NOT NULL, "
    "PRIMARY KEY (ledger, seq))",
    "CREATE INDEX IF NOT EXISTS plays_day ON plays (day)",
    "CREATE TABLE IF NOT EXISTS gaps (ledger TEXT NOT NULL, seq_from BIGINT NOT NULL, "
    "seq_to BIGINT NOT NULL, count BIGINT NOT NULL, reason TEXT NOT NULL, "
    "PRIMARY KEY (ledger, seq_from))",
};

const char* const insertPlay
    = "INSERT INTO plays (ledger, seq, day, playlist, file, url, checksum, delivery, "
      "scheduled_start, scheduled_end, start_time, end_time, duration_ms, outcome, placeholder) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING";
const char* const insertGap = "INSERT INTO gaps (ledger, seq_from, seq_to, count, reason) "
                              "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING";

[[noreturn]] void raise(const QString& what, const QSqlError& error)
{
    // The drivers' texts run over several lines; ours are one.
    throw StoreError(QStringLiteral("%1: %2").arg(what, error.text().simplified()).toStdString());
}

QSqlQuery prepared(QSqlDatabase& database, const char* statement)
{
    QSqlQuery query(database);
    if (!query.prepare(QLatin1String(statement)))
        raise(QStringLiteral("cannot prepare the store's statement"), query.lastError());
    return query;
}

void run(QSqlQuery& query, const char* what)
{
    if (!query.exec())
        raise(QLatin1String(what), query.lastError());
}

void bindPlay(QSqlQuery& query, const QString& ledger, const plays::PlayRecord& play)
{
    const QVariant values[] = { ledger, qint64(play.seq),
        play.start.toString(QStringLiteral("yyyy-MM-dd")), play.playlist, play.file, play.url,
        play.checksum, play.delivery, plays::isoWithOffset(play.scheduledStart),
        plays::isoWithOffset(play.scheduledEnd), plays::isoWithOffset(play.start),
        plays::isoWithOffset(play.end),
        std::max<qint64>(0, play.start.msecsTo(play.end)), plays::outcomeText(play.outcome),
        int(play.placeholder) };
    for (int i = 0; i < int(std::size(values)); ++i)
        query.bindValue(i, values[i]);
}

} // namespace

std::optional<StoreLocation> StoreLocation::parse(
    const QString& text, const QString& stateDirectory, QString& error)
{
    StoreLocation location;
    if (text.isEmpty()) {
        location.path = stateDirectory + QStringLiteral("/plays.sqlite");
        return location;
    }
    if (QDir::isAbsolutePath(text)) {
        location.path = text;
        return location;
    }
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (scheme == u"sqlite" && QDir::isAbsolutePath(url.path()) && url.host().isEmpty()) {
        location.path = url.path();
        return location;
    }
    if (!url.isValid() || (scheme != u"postgresql" && scheme != u"postgres")
        || url.path().size() < 2) {
        error = QStringLiteral(
            "'%1' is no store: an absolute SQLite file or postgresql://[USER@]HOST[:PORT]/DATABASE")
                    .arg(text);
        return std::nullopt;
    }
    location.kind = Kind::postgresql;
    location.host = url.host();
    const QUrlQuery query(url);
    if (query.hasQueryItem(QStringLiteral("host")))
        location.host = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    location.port = std::max(0, url.port());
    location.user = url.userName(QUrl::FullyDecoded);
    location.password = url.password(QUrl::FullyDecoded);
    location.database = url.path(QUrl::FullyDecoded).mid(1);
    return location;
}

QString StoreLocation::text() const
{
    if (kind == Kind::sqlite)
        return path;
    return QStringLiteral("postgresql://%1%2%3/%4")
        .arg(user.isEmpty() ? QString() : user + u'@', host,
            port ? QStringLiteral(":%1").arg(port) : QString(), database);
}

PlayStore::PlayStore(const StoreLocation& location)
    : m_connection(QUuid::createUuid().toString(QUuid::WithoutBraces))
    , m_text(location.text())
{
    const bool sqlite = location.kind == StoreLocation::Kind::sqlite;
    m_database = QSqlDatabase::addDatabase(
        sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"), m_connection);
    if (!m_database.isValid())
        throw StoreError(
            QStringLiteral("no Qt SQL driver for %1 (libqt6sql6-%2)")
                .arg(m_text, sqlite ? QStringLiteral("sqlite") : QStringLiteral("psql"))
                .toStdString());
    if (sqlite) {
        m_database.setDatabaseName(location.path);
        m_database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    } else {
        m_database.setHostName(location.host);
        if (location.port)
            m_database.setPort(location.port);
        m_database.setUserName(location.user);
        m_database.setPassword(location.password);
        m_database.setDatabaseName(location.database);
        m_database.setConnectOptions(QStringLiteral("connect_timeout=10"));
    }
    if (!m_database.open())
        raise(QStringLiteral("cannot open the store %1").arg(m_text), m_database.lastError());
    if (sqlite) {
        // A collection tells the register to forget only what is on disk: every commit is
        // synced. WAL keeps a report's long read from holding up a collection.
        for (const char* pragma : { "PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL" }) {
            QSqlQuery query(m_database);
            if (!query.exec(QLatin1String(pragma)))
                raise(QStringLiteral("cannot set up %1").arg(m_text), query.lastError());
        }
    }
    createSchema();
}

PlayStore::~PlayStore()
{
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

void PlayStore::createSchema()
{
    if (!m_database.transaction())
        raise(QStringLiteral("cannot write the store %1").arg(m_text), m_database.lastError());
    try {
        QSqlQuery query(m_database);
        for (const char* statement : schema)
            if (!query.exec(QLatin1String(statement)))
                raise(QStringLiteral("cannot make the store's tables in %1").arg(m_text),
                    query.lastError());
        if (!query.exec(QStringLiteral("SELECT MAX(version) FROM vesk_schema")) || !query.next())
            raise(QStringLiteral("cannot read the store's version"), query.lastError());
        const QVariant version = query.value(0);
        if (version.isNull()) {
            query.prepare(QStringLiteral("INSERT INTO vesk_schema (version) VALUES (?)"));
            query.bindValue(0, schemaVersion);
            run(query, "cannot mark the store's version");
        } else if (version.toInt() > schemaVersion) {
            throw StoreError(QStringLiteral("%1 was made by a newer vesk-manage (schema %2)")
                                 .arg(m_text)
                                 .arg(version.toInt())
                                 .toStdString());
        }
        if (!m_database.commit())
            raise(QStringLiteral("cannot write the store %1").arg(m_text), m_database.lastError());
    } catch (...) {
        m_database.rollback();
        throw;
    }
}

std::optional<QString> PlayStore::currentLedger(const QString& registerName)
{
    QSqlQuery query = prepared(m_database,
        "SELECT ledger FROM ledgers WHERE register = ? ORDER BY last_collected DESC LIMIT 1");
    query.bindValue(0, registerName);
    run(query, "cannot read the store's ledgers");
    if (!query.next())
        return std::nullopt;
    return query.value(0).toString();
}

qint64 PlayStore::storedUpTo(const QString& ledger)
{
    QSqlQuery query = prepared(m_database, "SELECT stored FROM ledgers WHERE ledger = ?");
    query.bindValue(0, ledger);
    run(query, "cannot read the store's ledgers");
    return query.next() ? query.value(0).toLongLong() : 0;
}

std::optional<QString> PlayStore::ledgerRegister(const QString& ledger)
{
    QSqlQuery query = prepared(m_database, "SELECT register FROM ledgers WHERE ledger = ?");
    query.bindValue(0, ledger);
    run(query, "cannot read the store's ledgers");
    if (!query.next())
        return std::nullopt;
    return query.value(0).toString();
}

void PlayStore::store(const PlayBatch& batch)
{
    if (!m_database.transaction())
        raise(QStringLiteral("cannot write the store %1").arg(m_text), m_database.lastError());
    try {
        QSqlQuery play = prepared(m_database, insertPlay);
        for (const plays::PlayRecord& record : batch.plays) {
            bindPlay(play, batch.ledger, record);
            run(play, "cannot store a play");
        }
        QSqlQuery gap = prepared(m_database, insertGap);
        for (const plays::Gap& g : batch.gaps) {
            const QVariant values[]
                = { batch.ledger, qint64(g.from), qint64(g.to), qint64(g.count()),
                  plays::reasonText(g.reason) };
            for (int i = 0; i < int(std::size(values)); ++i)
                gap.bindValue(i, values[i]);
            run(gap, "cannot store a gap");
        }
        // The ledger's register stays the one it was first collected for; `stored` only grows,
        // so that an older answer read late cannot make us read again what we have.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QSqlQuery ledger = prepared(m_database,
            "INSERT INTO ledgers (ledger, register, stored, first_collected, last_collected) "
            "VALUES (?, ?, ?, ?, ?) ON CONFLICT (ledger) DO UPDATE SET "
            "stored = CASE WHEN excluded.stored > ledgers.stored THEN excluded.stored "
            "ELSE ledgers.stored END, last_collected = excluded.last_collected");
        const QVariant values[] = { batch.ledger, batch.registerName, batch.upTo, now, now };
        for (int i = 0; i < int(std::size(values)); ++i)
            ledger.bindValue(i, values[i]);
        run(ledger, "cannot store the ledger");
        if (!m_database.commit())
            raise(QStringLiteral("cannot commit to the store %1").arg(m_text),
                m_database.lastError());
    } catch (...) {
        m_database.rollback();
        throw;
    }
}

} // namespace vesk::manage
