#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <optional>
#include <variant>

namespace vesk::plays {

// How a slot ended.
enum class Outcome {
    played, // to its scheduled end
    cut, // ended early: a new delivery, a new schedule, a stop
    failed, // the file could not be played; the placeholder stood in
    interrupted, // the service ended during it (recorded at the next start)
};

// "played", "cut", "failed", "interrupted".
QString outcomeText(Outcome outcome);
std::optional<Outcome> parseOutcome(QStringView text);

// One slot the engine played, the placeholder included. `seq` counts 1, 2, 3 ... on its ledger
// and is never reused; `ledger` is the ledger's identity, a lower-case UUID without braces.
// Times are the register's clock, with its offset.
struct PlayRecord
{
    qint64 seq = 0;
    QString ledger;
    QString playlist;
    QString file;
    QString url;
    // XXH64 of the played file, and of the TF of the delivery it came with: 16 lower-case hex.
    QString checksum;
    QString delivery;
    QDateTime scheduledStart;
    QDateTime scheduledEnd;
    QDateTime start;
    QDateTime end;
    Outcome outcome = Outcome::played;
    bool placeholder = false;

    bool operator==(const PlayRecord&) const = default;
};

// Records `from` to `to` (both included) that are missing for good.
struct Gap
{
    enum class Reason {
        full, // dropped oldest first at the ledger's cap, never acknowledged
        lost, // not on disk after a power cut
    };
    qint64 from = 0;
    qint64 to = 0;
    Reason reason = Reason::full;

    qint64 count() const { return to - from + 1; }
    bool operator==(const Gap&) const = default;
};

// "full", "lost".
QString reasonText(Gap::Reason reason);

// The first line of a read-out: which ledger, its highest seq, its highest acknowledged seq.
struct LedgerLine
{
    QString ledger;
    qint64 last = 0;
    qint64 acked = 0;
    bool operator==(const LedgerLine&) const = default;
};

// The last line of a read-out; without it the answer is torn.
struct EndLine
{
    // Records follow the last one printed.
    bool more = false;
    bool operator==(const EndLine&) const = default;
};

// The answer to an acknowledgement.
struct AckedLine
{
    QString ledger;
    qint64 acked = 0;
    bool operator==(const AckedLine&) const = default;
};

using ReadoutLine = std::variant<LedgerLine, PlayRecord, Gap, EndLine, AckedLine>;

// Bounds on what a line may hold; a line beyond them is refused, not cut.
struct ReadoutLimits
{
    qsizetype maxLineBytes = 16 * 1024;
    // playlist, file and url each.
    qsizetype maxTextChars = 4096;
};

// One line of a read-out, without its "\n": a JSON object whose "type" says its kind.
//
//   {"type":"ledger","ledger":"<uuid>","last":9,"acked":4}     -> LedgerLine
//   {"type":"play","seq":7,"ledger":"<uuid>",...}              -> PlayRecord
//   {"type":"gap","from":3,"to":5,"count":3,"reason":"full"}   -> Gap
//   {"type":"end","more":false}                                -> EndLine
//   {"type":"acked","ledger":"<uuid>","acked":7}               -> AckedLine
//   a seq of 0, a count that is not to-from+1, a time with "Z"
//   or without milliseconds, a checksum in capitals, an
//   unknown type or outcome, a missing member                  -> nothing, `error` says why
//
// Members not named here are ignored, so that a newer register's lines still read.
std::optional<ReadoutLine> parseReadoutLine(
    QByteArrayView line, QString* error = nullptr, const ReadoutLimits& limits = {});

// The line parseReadoutLine() reads back as the same value; no "\n".
QByteArray formatReadoutLine(const ReadoutLine& line);

// ISO 8601 with milliseconds and a numeric offset, never "Z": "2026-12-09T10:15:00.250+03:00".
QString timeText(const QDateTime& time);
// The strict reverse of timeText(); an invalid QDateTime for anything else.
QDateTime parseTime(QStringView text);

// A ledger's identity: a UUID text in lower case, no braces.
bool validLedger(QStringView text);

} // namespace vesk::plays
