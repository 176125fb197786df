#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace vesk::plays {

// Seqs from `from` to `to` whose records are gone for good: "full", dropped oldest first at the
// ledger's size limit before they were acknowledged; "lost", not on disk after a power cut (they
// were handed out, or only set aside, in the last minute before it).
struct Gap
{
    enum class Reason { full, lost };
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    Reason reason = Reason::full;

    std::uint64_t count() const { return to - from + 1; }
    friend bool operator==(const Gap&, const Gap&) = default;
};

// "full", "lost".
QString reasonText(Gap::Reason reason);

// {"type":"gap","from":A,"to":B,"count":B-A+1,"reason":"full"}
QByteArray gapJson(const Gap& gap);
// Nothing for anything but such an object with from <= to.
std::optional<Gap> gapFromJson(const QByteArray& json);

} // namespace vesk::plays
