#pragma once
// Not API: the state behind vesk::plays::Ledger, shared by its writing (ledger.cpp) and its
// recovery at start (ledgerrecovery.cpp).

#include <vesk/plays/ledger.h>

#include "ledgerfiles.h"

#include <vesk/file/descriptor.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace vesk::plays {

namespace detail {

// A segment larger than this was not written by us.
inline constexpr qint64 largestSegment = qint64(1) << 30;

[[noreturn]] inline void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// What the writer keeps of a segment: enough to tell what dropping it loses.
struct Segment
{
    QString name;
    std::uint64_t first = 0;
    qint64 bytes = 0;
    // The seqs of its finished records; 0 when it holds none.
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::vector<Gap> gaps;

    // The highest seq it accounts for.
    std::uint64_t covers() const
    {
        std::uint64_t top = high;
        for (const Gap& gap : gaps)
            top = std::max(top, gap.to);
        return top;
    }
};

} // namespace detail

struct Ledger::Private
{
    Limits limits;
    QString boot;
    file::Descriptor directory;
    QString id;
    Recovery recovery;

    mutable std::mutex mutex;
    // Guarded by mutex:
    std::vector<detail::Segment> segments;
    std::shared_ptr<file::Descriptor> current;
    qint64 total = 0;
    std::uint64_t next = 1;
    // Seqs up to here are set aside by a line on disk for sure.
    std::uint64_t durableUpto = 0;
    std::optional<PlayRecord> open;
    bool dirty = false;
    std::uint64_t flushes = 0;

    qint64 segmentBytes() const { return std::max<qint64>(limits.maxBytes / 8, 1024); }

    void append(const QByteArray& json, bool mayRotate = true);
    void writeLine(const QByteArray& line);
    void record(const detail::Entry& entry);
    void syncCurrent();
    void reserve(std::uint64_t upto);
    void rotate();
    void dropAsNeeded();
    void startSegment();
    void recover();
    void createIdentity(const std::vector<detail::SegmentFile>& stale);
};

} // namespace vesk::plays
