#pragma once
// Not API: the ledger's files, shared by the service's writer and vesk-plays.
//
// The ledger is a directory of the home ("plays"):
//   ledger            the ledger's identity, a UUID text and a line feed; written once
//   acked             "<ledger> <seq>\n": what the management server has stored; vesk-plays --ack
//                     replaces it, the service only reads it
//   segment-<seq>     lines, appended; <seq> (20 digits) is the first seq handed out in it
// Every line of a segment is framed: 16 lower-case hex digits of the XXH64 of the JSON text, a
// blank, the JSON text, a line feed. A line that is not whole or whose digits do not match is
// not a line of the ledger.

#include <vesk/plays/gap.h>
#include <vesk/plays/playrecord.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace vesk::plays::detail {

inline constexpr const char* ledgerFileName = "ledger";
inline constexpr const char* ackedFileName = "acked";
// An identity, an ack: anything longer is not one.
inline constexpr qint64 smallFileLimit = 4096;

QByteArray frame(const QByteArray& json);

// One line of a segment, by its "type".
struct Entry
{
    enum class Kind { open, play, gap, reserve };
    Kind kind = Kind::play;
    PlayRecord record; // open, play
    Gap gap; // gap
    // reserve: seqs up to here may be in use; `boot` the system's boot id when it was written.
    std::uint64_t upto = 0;
    QString boot;
};
// {"type":"reserve","upto":N,"boot":"..."}
QByteArray reserveJson(std::uint64_t upto, const QString& boot);

// What a segment's bytes hold:
//   "<digits> {..}\n" x3                   -> 3 entries, whole = size
//   the same and "<digits> {.." (no LF)    -> 3 entries, whole = the size of the three, torn
//   a line whose digits do not match       -> skipped, garbled + 1 (lines after it still count)
//   a framed line of no known type         -> skipped, garbled + 1
struct SegmentScan
{
    std::vector<Entry> entries;
    qint64 whole = 0; // bytes up to the end of the last line that ended with a line feed
    qint64 garbled = 0;
    bool torn = false;
    // The highest seq of the play lines left out for `after`.
    std::uint64_t skippedUpTo = 0;
};
// `after`: entries of kind open and play with a seq at or below it are left out (not parsed
// further than their seq), for a reader that starts later. `seqsOnly`: open and play entries
// carry their seq alone (the writer's start looks at nothing else in most segments).
SegmentScan scanSegment(const QByteArray& content, std::uint64_t after = 0, bool seqsOnly = false);

QString segmentName(std::uint64_t first);
// The first seq of a segment's name; nothing for any other name.
std::optional<std::uint64_t> segmentFirst(const QString& name);

// The segments in the directory, by their first seq.
struct SegmentFile
{
    QString name;
    std::uint64_t first = 0;
};
std::vector<SegmentFile> listSegments(int directory);

// A UUID text as the ledger writes it: lower-case, no braces.
bool isLedgerId(const QString& text);

// The acked file: nothing when it is missing or not "<uuid> <seq>".
struct Acked
{
    QString ledger;
    std::uint64_t seq = 0;
};
std::optional<Acked> readAcked(int directory);
QByteArray ackedContent(const Acked& acked);

// The identity in `ledger`; empty when it is missing or not one.
QString readLedgerId(int directory);

// A decimal number of at most 19 digits (no sign, no blank); nothing otherwise.
std::optional<std::uint64_t> parseSeq(const QString& text);

} // namespace vesk::plays::detail
