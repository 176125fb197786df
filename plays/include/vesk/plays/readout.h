#pragma once

#include <vesk/plays/gap.h>
#include <vesk/plays/playrecord.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace vesk::plays {

// What vesk-plays reads from a ledger's directory while the service may be writing to it: the
// segments are opened under a shared lock of the directory, so none of them is dropped between
// listing and opening; a line being written is not yet a line. The functions throw
// std::system_error when the directory or its identity cannot be read.
//
// The read-out of `vesk-plays --after SEQ --limit N` (docs/plays.md):
//   {"type":"ledger","ledger":"<uuid>","last":L,"acked":A}
//   {"type":"play","seq":S,"ledger":"<uuid>",...} and {"type":"gap",...}, in seq order, S > SEQ
//   {"type":"end","more":true|false}
// `last` is the highest seq a record or a gap accounts for (the play going on has none yet);
// seqs at or below `acked` whose records were forgotten are passed over without a line. Seqs
// that no record and no recorded gap accounts for are a "lost" gap. At most `limit` play and
// gap lines.
struct ReadOut
{
    QString ledger;
    std::uint64_t last = 0;
    std::uint64_t acked = 0;
    std::vector<std::variant<PlayRecord, Gap>> items;
    bool more = false;
};

inline constexpr std::size_t defaultLimit = 1000;
inline constexpr std::size_t largestLimit = 10000;

ReadOut readOut(const QString& directory, std::uint64_t after, std::size_t limit);
// The lines of a read-out, each ending in a line feed.
QByteArray readOutText(const ReadOut& out);

// `vesk-plays --ack LEDGER SEQ`: the management server has stored everything up to SEQ. An ack at
// or below the current one changes nothing and is answered with the current one. Refused, with
// the reason, when SEQ is no decimal number, LEDGER is not this ledger, or SEQ is beyond `last`.
struct AckAnswer
{
    bool accepted = false;
    // accepted: {"type":"acked","ledger":"...","acked":N}; otherwise the reason for a person.
    QByteArray text;
};
AckAnswer acknowledge(const QString& directory, const QString& ledger, const QString& seq);

// The lines of a read-out one by one, written here and read on the management server with the
// same code, so that the two sides cannot drift apart.
//
//   {"type":"ledger","ledger":"<uuid>","last":9,"acked":4}     -> LedgerLine
//   {"type":"play","seq":7,"ledger":"<uuid>",...}              -> PlayLine
//   {"type":"gap","from":3,"to":5,"count":3,"reason":"full"}   -> Gap
//   {"type":"end","more":false}                                -> EndLine
//   {"type":"acked","ledger":"<uuid>","acked":7}               -> AckedLine
//   a seq of 0, a count that is not to-from+1, acked beyond
//   last, a time with "Z" or without milliseconds, a checksum
//   in capitals, an unknown type or outcome, a missing member  -> nothing, `error` says why
//
// A checksum and a delivery are 16 lower-case hex digits, or empty for a file the delivery did not
// list. Members not named here are ignored, so that a newer register's lines still read.
struct LedgerLine
{
    QString ledger;
    std::uint64_t last = 0;
    std::uint64_t acked = 0;
    friend bool operator==(const LedgerLine&, const LedgerLine&) = default;
};
struct PlayLine
{
    QString ledger;
    PlayRecord record;
    friend bool operator==(const PlayLine&, const PlayLine&) = default;
};
struct EndLine
{
    // Records follow the last one printed.
    bool more = false;
    friend bool operator==(const EndLine&, const EndLine&) = default;
};
struct AckedLine
{
    QString ledger;
    std::uint64_t acked = 0;
    friend bool operator==(const AckedLine&, const AckedLine&) = default;
};
using ReadoutLine = std::variant<LedgerLine, PlayLine, Gap, EndLine, AckedLine>;

// Bounds on what a peer's line may hold; a line beyond them is refused, not cut.
struct ReadoutLimits
{
    qsizetype maxLineBytes = 16 * 1024;
    // playlist, file and url each.
    qsizetype maxTextChars = 4096;
};

std::optional<ReadoutLine> parseReadoutLine(
    QByteArrayView line, QString* error = nullptr, const ReadoutLimits& limits = {});
// The line parseReadoutLine() reads back as the same value; no line feed.
QByteArray formatReadoutLine(const ReadoutLine& line);

// A ledger's identity: a UUID in lower case, no braces.
bool validLedger(QStringView text);

// The finished records that started on `day` (the register's local date), in seq order.
std::vector<PlayRecord> playsOn(const QString& directory, const QDate& day);

} // namespace vesk::plays
