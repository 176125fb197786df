// Internal to vesk-manage, not API.
#pragma once

#include "playstore.h"
#include "registerstate.h"

#include <QDate>
#include <QList>
#include <QStringList>

#include <optional>

namespace vesk::manage {

// What `vesk-manage report` asks of the store.
struct ReportOptions
{
    enum class Format { table, csv, json };
    // Days of the register's own calendar (the day a play started there), both included.
    std::optional<QDate> from;
    std::optional<QDate> to;
    // Some of "day", "register", "playlist", "url", in the order given.
    QStringList by { QStringLiteral("day"), QStringLiteral("register") };
    Format format = Format::table;

    // "day,url" -> {day, url}; "" or "day,day" or "hour" -> nothing, `error` says why.
    static std::optional<QStringList> parseGrouping(const QString& text, QString& error);
};

struct Report
{
    struct Group
    {
        QStringList keys;
        qint64 plays = 0;
        qint64 milliseconds = 0;
        qint64 played = 0;
        qint64 cut = 0;
        qint64 failed = 0;
        qint64 interrupted = 0;
        qint64 placeholder = 0;
    };
    // Records that will never come, over all a register's ledgers collected.
    struct Gaps
    {
        QString registerName;
        qint64 full = 0; // dropped at the ledger's cap
        qint64 lost = 0; // lost in a power cut
        // Neither stored nor said to be missing: seqs the register skipped, or forgot after
        // another store than this one acknowledged them.
        qint64 unaccounted = 0;
    };
    // A register whose clock was off ours by more than a minute when we last learnt it.
    struct Clock
    {
        QString registerName;
        qint64 offsetMs = 0;
        QDateTime learnt;
    };

    QStringList by;
    QList<Group> groups;
    QList<Gaps> gaps;
    QList<Clock> clocks;
};

// Reads the report from the store; throws StoreError. `registers` are the pairings, which know
// each register's clock against ours.
Report buildReport(
    PlayStore& store, const ReportOptions& options, const QList<RegisterState>& registers);

// The report as a table for a person, CSV (the groups; gaps and clocks are for notes) or one
// JSON object {"by", "groups", "gaps", "clocks"}.
QString reportText(const Report& report, ReportOptions::Format format);
// What a CSV report leaves to standard error: the gaps and the clocks, one line each.
QStringList reportNotes(const Report& report);

} // namespace vesk::manage
