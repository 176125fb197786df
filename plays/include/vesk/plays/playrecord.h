#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>

namespace vesk::plays {

// How a play ended; one vocabulary for the ledger, the read-out and the operator's table.
enum class Outcome {
    played, // to its scheduled end
    cut, // ended early: a new delivery, a new schedule, a stop
    failed, // the file could not be played; the placeholder stood in where there is one
    interrupted, // the service ended during it; written at the next start
};
QString outcomeText(Outcome outcome);
std::optional<Outcome> outcomeFrom(const QString& text);

// One slot that the stream engine played. `checksum` is the file's XXH64 in the played TF and
// `delivery` the XXH64 of that TF, 16 lower-case hex digits each, or empty where the TF did not
// list the file (a placeholder outside the delivery). Times are the register's clock.
struct PlayRecord
{
    std::uint64_t seq = 0;
    QString playlist;
    QString file;
    QString url;
    QString checksum;
    QString delivery;
    QDateTime scheduledStart;
    QDateTime scheduledEnd;
    QDateTime start;
    QDateTime end;
    Outcome outcome = Outcome::played;
    bool placeholder = false;

    friend bool operator==(const PlayRecord&, const PlayRecord&) = default;
};

// Local time with milliseconds and its numeric offset, never "Z", so that a reader in another
// zone reads the same instant:
//   2026-12-09 10:15:00.250 in Europe/Moscow -> "2026-12-09T10:15:00.250+03:00"
//   the same instant in UTC                  -> "2026-12-09T07:15:00.250+00:00"
QString isoWithOffset(const QDateTime& time);
// The inverse, keeping the offset as written; an invalid QDateTime for anything else.
QDateTime fromIsoWithOffset(const QString& text);

// A record as one JSON object, members in the order of docs/plays.md. `ledger` is left out when
// empty (the ledger's own lines do not repeat it); `open` leaves out end and outcome, for the
// line written when the first packet goes out.
enum class LineKind { open, play };
QByteArray recordJson(const PlayRecord& record, LineKind kind, const QString& ledger = {});
// A "play" or "open" object back; nothing when a member is missing or of the wrong type.
// Members other than the record's are ignored.
std::optional<PlayRecord> recordFromJson(const QByteArray& json, LineKind kind);

// A JSON string literal of the text, quotes included.
QByteArray jsonString(const QString& text);

} // namespace vesk::plays
