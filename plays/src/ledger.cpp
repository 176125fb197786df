#include <vesk/plays/ledger.h>

#include "ledgerprivate.h"

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
using detail::fail;

void syncDescriptor(int fd, const char* what)
{
    if (::fsync(fd) != 0)
        fail(what);
}

} // namespace

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
    detail::Segment& segment = segments.back();
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
    segments.push_back(detail::Segment { name, next, qint64(status.st_size), 0, 0, {} });
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
    // Released however this ends: a reader waits for it.
    const std::unique_ptr<const file::Descriptor, void (*)(const file::Descriptor*)> unlock(
        &directory, [](const file::Descriptor* held) { ::flock(held->get(), LOCK_UN); });
    std::vector<Gap> carried;
    bool full = false;
    while (segments.size() > 1) {
        const detail::Segment& oldest = segments.front();
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
