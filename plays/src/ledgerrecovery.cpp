// The Ledger's start: its identity, what its segments hold, the torn end cut off, the play that
// was going on recorded as interrupted, seqs of an earlier boot that were not found recorded as
// lost.

#include "ledgerprivate.h"

#include <vesk/file/fileoperations.h>

#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace vesk::plays {

using detail::Entry;
using detail::fail;

void Ledger::Private::createIdentity(const std::vector<detail::SegmentFile>& stale)
{
    for (const detail::SegmentFile& segment : stale)
        ::unlinkat(directory.get(), segment.name.toUtf8().constData(), 0);
    ::unlinkat(directory.get(), detail::ackedFileName, 0);
    recovery.discardedSegments = int(stale.size());
    recovery.created = true;
    id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    file::save2file(directory.get(), detail::ledgerFileName, id.toLatin1() + '\n', 0644);
}

void Ledger::Private::recover()
{
    id = detail::readLedgerId(directory.get());
    std::vector<detail::SegmentFile> files = detail::listSegments(directory.get());
    if (id.isEmpty()) {
        createIdentity(files);
        files.clear();
    }

    std::uint64_t used = 0;
    std::optional<Entry> lastReserve;
    std::optional<PlayRecord> unfinished;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::error_code error;
        file::Descriptor fd = file::openInside(
            directory.get(), files[i].name.toStdString(), file::EntryType::RegularFile, error);
        if (!fd.isOpen())
            throw std::system_error(error, "cannot open a segment of the ledger");
        const QByteArray content = file::readAll(fd.get(), detail::largestSegment);
        // The play going on at the end has its open line in one of the last two segments (a
        // segment may start while it plays); elsewhere the seqs are all the start needs.
        const bool seqsOnly = i + 2 < files.size();
        const detail::SegmentScan scan = detail::scanSegment(content, 0, seqsOnly);
        detail::Segment segment { files[i].name, files[i].first, qint64(content.size()), 0, 0, {} };
        recovery.garbledLines += scan.garbled;
        const bool last = i + 1 == files.size();
        if (last && scan.torn) {
            fd.reset();
            const int writable = ::openat(directory.get(), files[i].name.toUtf8().constData(),
                O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
            if (writable < 0 || ::ftruncate(writable, scan.whole) != 0)
                fail("cannot cut the torn end of the ledger");
            ::close(writable);
            recovery.tornBytes = content.size() - scan.whole;
            segment.bytes = scan.whole;
        }
        segments.push_back(std::move(segment));
        for (const Entry& entry : scan.entries) {
            record(entry);
            switch (entry.kind) {
            case Entry::Kind::open:
                used = std::max(used, entry.record.seq);
                if (seqsOnly)
                    unfinished.reset();
                else
                    unfinished = entry.record;
                break;
            case Entry::Kind::play:
                used = std::max(used, entry.record.seq);
                if (unfinished && unfinished->seq == entry.record.seq)
                    unfinished.reset();
                break;
            case Entry::Kind::gap:
                used = std::max(used, entry.gap.to);
                break;
            case Entry::Kind::reserve:
                lastReserve = entry;
                break;
            }
        }
        total += segments.back().bytes;
    }

    // On this boot every line written is still there, so the next seq follows the last one
    // found. After a reboot, seqs set aside on the earlier boot may have been handed out in
    // lines that the power cut took: they are never handed out again.
    next = used + 1;
    std::optional<Gap> lost;
    if (lastReserve && lastReserve->boot != boot && lastReserve->upto > used) {
        lost = Gap { used + 1, lastReserve->upto, Gap::Reason::lost };
        next = lost->to + 1;
    }
    if (segments.empty() || segments.back().bytes >= segmentBytes()) {
        const std::uint64_t named = next;
        if (!segments.empty())
            next = std::max(next, segments.back().first + 1);
        startSegment();
        next = named;
    } else {
        const int fd = ::openat(directory.get(), segments.back().name.toUtf8().constData(),
            O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            fail("cannot open the ledger's last segment");
        current = std::make_shared<file::Descriptor>(fd);
    }
    if (lost) {
        Entry entry;
        entry.kind = Entry::Kind::gap;
        entry.gap = *lost;
        append(gapJson(*lost), false);
        record(entry);
        recovery.lost = lost;
    }
    if (unfinished) {
        PlayRecord interrupted = *unfinished;
        // How long it played is not known: nothing is claimed beyond its start.
        interrupted.end = interrupted.start;
        interrupted.outcome = Outcome::interrupted;
        Entry entry;
        entry.kind = Entry::Kind::play;
        entry.record = interrupted;
        append(recordJson(interrupted, LineKind::play), false);
        record(entry);
        recovery.interrupted = interrupted.seq;
    }
    reserve(next + limits.reserveAhead - 1);
    dropAsNeeded();
}

} // namespace vesk::plays
