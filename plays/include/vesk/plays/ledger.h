#pragma once

#include <vesk/plays/gap.h>
#include <vesk/plays/playrecord.h>

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace vesk::plays {

// The service's side of the ledger of plays (docs/plays.md): it hands out seqs, appends the
// lines of each play to the newest segment file at once (write(2), so a crash of the process
// loses nothing) and makes them durable when flush() is called, which the caller does at most
// once a minute and only after something was written. Seqs are set aside ahead in durable
// "reserve" lines, so that no seq is ever handed out twice, also after a power cut took the
// unflushed tail: seqs set aside on an earlier boot and not found are recorded as a "lost" gap.
// At `Limits::maxBytes` the oldest segments go, their unacknowledged records kept as a "full"
// gap; acknowledged segments go whenever a new segment is started.
//
// Threads: every function may be called from any thread; one lock guards the state, and the
// periodic flush runs its fsync outside it. Failures of the disk throw std::system_error; the
// ledger stays usable (a line that could not be written whole is taken back).
class Ledger
{
public:
    struct Limits
    {
        // All segments together; at least a few lines.
        qint64 maxBytes = qint64(64) << 20;
        // Seqs set aside in one durable line: a schedule that plays more than half of these
        // between two flushes costs one more flush.
        std::uint64_t reserveAhead = 64;
    };

    // What opening found, for the log.
    struct Recovery
    {
        // A new ledger: none was there, or its identity could not be read (the segments of
        // that unknown ledger are removed: `discardedSegments`).
        bool created = false;
        int discardedSegments = 0;
        // A torn last line (a crash or power cut in the middle of a write), cut off.
        qint64 tornBytes = 0;
        // Lines whose checksum did not match, skipped.
        qint64 garbledLines = 0;
        // The play that was going on when the service ended, now recorded "interrupted".
        std::optional<std::uint64_t> interrupted;
        std::optional<Gap> lost;
    };

    // Opens the ledger in the existing directory `directory`, creating its identity and first
    // segment when there are none, and recovers (above). `bootId` tells this boot from an
    // earlier one (the kernel's boot_id). One flush.
    Ledger(const QString& directory, const QString& bootId, const Limits& limits);
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    QString id() const;
    Recovery recovery() const;

    // The first packet of a play went out: the next seq goes to it and its "open" line is
    // written. The record's seq, end and outcome are not looked at.
    std::uint64_t open(const PlayRecord& record);
    // The play `seq` (the one open) ended: its whole record is written.
    void close(std::uint64_t seq, const QDateTime& end, Outcome outcome);
    // Whether anything was written since the last flush.
    bool dirty() const;
    // Makes everything written so far durable with one fsync; nothing when nothing was written.
    void flush();
    // At a clean stop: sets aside exactly the seqs handed out (a next start after a reboot finds
    // none lost) and flushes.
    void finish();

    // fsyncs of segment files since construction, for figures.
    std::uint64_t flushes() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The kernel's boot id; a random one when it cannot be read (every start then counts as a boot).
QString currentBootId();

} // namespace vesk::plays
