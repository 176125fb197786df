#include <vesk/plays/ledger.h>

#include "ledgerfiles.h"

#include <vesk/file/fileoperations.h>

#include <QFile>
#include <QUuid>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <vector>

namespace vesk::plays {

namespace {

using detail::Entry;

// A segment larger than this was not written by us.
constexpr qint64 largestSegment = qint64(1) << 30;

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void syncDescriptor(int fd, const char* what)
{
    if (::fsync(fd) != 0)
        fail(what);
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

} // namespace

struct Ledger::Private
{
    Limits limits;
    QString boot;
    file::Descriptor directory;
    QString id;
    Recovery recovery;

    mutable std::mutex mutex;
    // Guarded by mutex:
    std::vector<Segment> segments;
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
    void record(const Entry& entry);
    void syncCurrent();
    void reserve(std::uint64_t upto);
    void rotate();
    void dropAsNeeded();
    void startSegment();
    void recover();
    void createIdentity(const std::vector<detail::SegmentFile>& stale);
};

void Ledger::Private::writeLine(const QByteArray& line)
{
    qint64 done = 0;
    while (done < line.size()) {
        const ssize_t wrote
            = ::write(current->get(), line.constData() + done, std::size_t(line.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            const int error = wrote < 0 ? errno : ENOSPC;
            // A part of a line would spoil the next one too.
            // A part of a line would spoil the next one too: it is taken back, or, where even
            // that fails, counted so that the sizes stay true.
            if (done > 0 && ::ftruncate(current->get(), segments.back().bytes) != 0) {
                segments.back().bytes += done;
                total += done;
            }
            errno = error;
            fail("cannot write to the ledger");
        }
        done += wrote;
    }
    segments.back().bytes += line.size();
    total += line.size();
    dirty = true;
}

void Ledger::Private::record(const Entry& entry)
{
    Segment& segment = segments.back();
    if (entry.kind == Entry::Kind::play) {
        if (segment.low == 0)
            segment.low = entry.record.seq;
        segment.high = std::max(segment.high, entry.record.seq);
    } else if (entry.kind == Entry::Kind::gap) {
        segment.gaps.push_back(entry.gap);
    }
}

void Ledger::Private::append(const QByteArray& json, bool mayRotate)
{
    const QByteArray line = detail::frame(json);
    if (mayRotate && segments.back().bytes > 0
        && segments.back().bytes + line.size() > segmentBytes())
        rotate();
    writeLine(line);
}

void Ledger::Private::syncCurrent()
{
    syncDescriptor(current->get(), "cannot flush the ledger");
    ++flushes;
    dirty = false;
}

void Ledger::Private::reserve(std::uint64_t upto)
{
    append(detail::reserveJson(upto, boot));
    syncCurrent();
    durableUpto = upto;
}

void Ledger::Private::startSegment()
{
    const QString name = detail::segmentName(next);
    const int fd = ::openat(directory.get(), name.toUtf8().constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        fail("cannot create a segment of the ledger");
    auto descriptor = std::make_shared<file::Descriptor>(fd);
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0)
        fail("cannot create a segment of the ledger");
    // The new file and its name on disk before anything is written into it.
    syncDescriptor(fd, "cannot flush a new segment of the ledger");
    syncDescriptor(directory.get(), "cannot flush the ledger's directory");
    segments.push_back(Segment { name, next, qint64(status.st_size), 0, 0, {} });
    total += status.st_size;
    current = std::move(descriptor);
}

void Ledger::Private::rotate()
{
    // What the old segment holds goes to disk before the next one takes over.
    if (dirty)
        syncCurrent();
    startSegment();
    dropAsNeeded();
}

void Ledger::Private::dropAsNeeded()
{
    std::uint64_t acked = 0;
    if (const std::optional<detail::Acked> ack = detail::readAcked(directory.get());
        ack && ack->ledger == id)
        acked = ack->seq;
    // vesk-plays takes the lock while it opens the segments; it is never held long, and a
    // drop that finds it taken waits for the next line.
    if (::flock(directory.get(), LOCK_EX | LOCK_NB) != 0)
        return;
    std::vector<Gap> carried;
    bool full = false;
    while (segments.size() > 1) {
        const Segment& oldest = segments.front();
        const bool forgettable = oldest.covers() <= acked;
        if (!forgettable && total <= limits.maxBytes)
            break;
        if (!forgettable) {
            full = true;
            if (oldest.high > acked && oldest.low > 0)
                carried.push_back(
                    { std::max(oldest.low, acked + 1), oldest.high, Gap::Reason::full });
            for (const Gap& gap : oldest.gaps)
                if (gap.to > acked)
                    carried.push_back({ std::max(gap.from, acked + 1), gap.to, gap.reason });
        }
        if (full) {
            // The gaps are on disk before the records they stand for go.
            std::sort(carried.begin(), carried.end(),
                [](const Gap& a, const Gap& b) { return a.from < b.from; });
            std::vector<Gap> merged;
            for (const Gap& gap : carried) {
                if (!merged.empty() && merged.back().reason == gap.reason
                    && gap.from <= merged.back().to + 1)
                    merged.back().to = std::max(merged.back().to, gap.to);
                else
                    merged.push_back(gap);
            }
            carried.clear();
            for (const Gap& gap : merged) {
                Entry entry;
                entry.kind = Entry::Kind::gap;
                entry.gap = gap;
                append(gapJson(gap), false);
                record(entry);
            }
            syncCurrent();
            full = false;
        }
        ::unlinkat(directory.get(), segments.front().name.toUtf8().constData(), 0);
        total -= segments.front().bytes;
        segments.erase(segments.begin());
    }
    ::flock(directory.get(), LOCK_UN);
}

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
        file::Descriptor fd = file::openInside(directory.get(),
            files[i].name.toStdString(), file::EntryType::RegularFile, error);
        if (!fd.isOpen())
            throw std::system_error(error, "cannot open a segment of the ledger");
        const QByteArray content = file::readAll(fd.get(), largestSegment);
        const detail::SegmentScan scan = detail::scanSegment(content);
        Segment segment { files[i].name, files[i].first, qint64(content.size()), 0, 0, {} };
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

Ledger::Ledger(const QString& directory, const QString& bootId, const Limits& limits)
    : d(std::make_unique<Private>())
{
    d->limits = limits;
    d->limits.reserveAhead = std::max<std::uint64_t>(limits.reserveAhead, 2);
    d->boot = bootId;
    d->directory = file::openDirectory(directory.toStdString());
    const std::lock_guard lock(d->mutex);
    d->recover();
}

Ledger::~Ledger() = default;

QString Ledger::id() const
{
    return d->id;
}

Ledger::Recovery Ledger::recovery() const
{
    const std::lock_guard lock(d->mutex);
    return d->recovery;
}

std::uint64_t Ledger::open(const PlayRecord& record)
{
    const std::lock_guard lock(d->mutex);
    const std::uint64_t seq = d->next;
    if (seq > d->durableUpto)
        d->reserve(seq + d->limits.reserveAhead - 1);
    PlayRecord opened = record;
    opened.seq = seq;
    opened.end = {};
    opened.outcome = Outcome::played;
    d->append(recordJson(opened, LineKind::open));
    d->next = seq + 1;
    d->open = std::move(opened);
    return seq;
}

void Ledger::close(std::uint64_t seq, const QDateTime& end, Outcome outcome)
{
    const std::lock_guard lock(d->mutex);
    if (!d->open || d->open->seq != seq)
        return;
    PlayRecord finished = *std::exchange(d->open, std::nullopt);
    finished.end = end;
    finished.outcome = outcome;
    Entry entry;
    entry.kind = Entry::Kind::play;
    entry.record = finished;
    d->append(recordJson(finished, LineKind::play));
    d->record(entry);
    if (d->total > d->limits.maxBytes)
        d->dropAsNeeded();
}

bool Ledger::dirty() const
{
    const std::lock_guard lock(d->mutex);
    return d->dirty;
}

void Ledger::flush()
{
    std::shared_ptr<file::Descriptor> current;
    std::uint64_t upto = 0;
    {
        const std::lock_guard lock(d->mutex);
        if (!d->dirty)
            return;
        // Set aside the next seqs in the same flush while few are left.
        if (d->durableUpto < d->next + d->limits.reserveAhead / 2) {
            upto = d->next + d->limits.reserveAhead - 1;
            d->append(detail::reserveJson(upto, d->boot));
        }
        current = d->current;
        d->dirty = false;
    }
    // Outside the lock: the engine's thread writes its next line meanwhile.
    const int result = ::fsync(current->get());
    const int error = errno;
    const std::lock_guard lock(d->mutex);
    if (result != 0) {
        d->dirty = true;
        errno = error;
        fail("cannot flush the ledger");
    }
    ++d->flushes;
    d->durableUpto = std::max(d->durableUpto, upto);
}

void Ledger::finish()
{
    const std::lock_guard lock(d->mutex);
    d->append(detail::reserveJson(d->next - 1, d->boot));
    d->syncCurrent();
    d->durableUpto = d->next - 1;
}

std::uint64_t Ledger::flushes() const
{
    const std::lock_guard lock(d->mutex);
    return d->flushes;
}

QString currentBootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (file.open(QIODevice::ReadOnly)) {
        const QString id = QString::fromLatin1(file.read(64)).trimmed();
        if (!id.isEmpty())
            return id;
    }
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace vesk::plays
