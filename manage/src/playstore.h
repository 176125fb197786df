// Internal to vesk-manage, not API.
#pragma once

#include <vesk/plays/gap.h>
#include <vesk/plays/playrecord.h>

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>
#include <stdexcept>

namespace vesk::manage {

// A store that cannot be opened, read or written; the text is one line for an operator.
class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Where the plays are kept: an SQLite file, or a PostgreSQL database.
struct StoreLocation
{
    enum class Kind { sqlite, postgresql };
    Kind kind = Kind::sqlite;
    // The SQLite file.
    QString path;
    // PostgreSQL: a host name, or the directory of its unix socket; port 0 is libpq's default.
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString database;

    // "plays.sqlite" in the state directory, or what `text` names:
    //   ""                                         -> DIR/plays.sqlite
    //   "/srv/plays.sqlite", "sqlite:///srv/p.db"  -> that SQLite file
    //   "postgresql://u:pw@db.example:5433/vesk"   -> PostgreSQL, as given
    //   "postgresql:///vesk?host=/run/postgresql"  -> PostgreSQL on its unix socket
    //   "postgres://..."                           -> the same as postgresql://
    //   "mysql://...", "relative.db"               -> nothing, `error` says why
    static std::optional<StoreLocation> parse(
        const QString& text, const QString& stateDirectory, QString& error);
    // For messages: the file, or the database without the password.
    QString text() const;
};

// What one verified answer of a register adds: its records and gaps, and the highest seq of the
// ledger the answer accounts for.
struct PlayBatch
{
    QString registerName;
    QString ledger;
    QList<plays::PlayRecord> plays;
    QList<plays::Gap> gaps;
    qint64 upTo = 0;
};

// The plays of every register, kept so that a record is stored once however often it is read:
// plays by (ledger, seq), gaps by (ledger, first seq), and per ledger the register it belongs to
// and the highest seq stored. The schema is made on first use and carries its version.
//
// Every failure throws StoreError; store() is all or nothing, and returns only once the
// transaction is on disk (SQLite: WAL with synchronous=FULL; PostgreSQL: its commit), so that
// what follows it may tell the register to forget. One connection per object, one thread.
class PlayStore
{
public:
    explicit PlayStore(const StoreLocation& location);
    ~PlayStore();
    PlayStore(const PlayStore&) = delete;
    PlayStore& operator=(const PlayStore&) = delete;

    // The ledger of the register's last collection, if it was ever collected.
    std::optional<QString> currentLedger(const QString& registerName);
    // The highest seq stored for the ledger; 0 for a ledger never seen.
    qint64 storedUpTo(const QString& ledger);
    // The ledger's register, if the ledger is known.
    std::optional<QString> ledgerRegister(const QString& ledger);

    void store(const PlayBatch& batch);

    // For the report's queries.
    QSqlDatabase& database() { return m_database; }

private:
    void createSchema();

    QString m_connection;
    QString m_text;
    QSqlDatabase m_database;
};

} // namespace vesk::manage
