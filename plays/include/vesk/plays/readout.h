#pragma once

#include <vesk/plays/gap.h>
#include <vesk/plays/playrecord.h>

#include <QByteArray>
#include <QDate>
#include <QString>

#include <cstdint>
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

// The finished records that started on `day` (the register's local date), in seq order.
std::vector<PlayRecord> playsOn(const QString& directory, const QDate& day);

} // namespace vesk::plays
