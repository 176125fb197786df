#include "playrecorder.h"

#include <vesk/log.h>

#include <QMetaObject>

namespace vesk::detail {

namespace {

QString hex(std::uint64_t value)
{
    return QString::number(quint64(value), 16).rightJustified(16, u'0');
}

plays::Outcome outcomeOf(StreamPlay::Outcome outcome)
{
    switch (outcome) {
    case StreamPlay::Outcome::played:
        return plays::Outcome::played;
    case StreamPlay::Outcome::failed:
        return plays::Outcome::failed;
    case StreamPlay::Outcome::playing:
    case StreamPlay::Outcome::cut:
        break;
    }
    return plays::Outcome::cut;
}

} // namespace

PlayRecorder::PlayRecorder(const QString& directory, qint64 maxBytes, log::Logger* logger)
    : m_logger(logger)
{
    plays::Ledger::Limits limits;
    limits.maxBytes = maxBytes;
    m_ledger = std::make_unique<plays::Ledger>(directory, plays::currentBootId(), limits);
    const plays::Ledger::Recovery recovery = m_ledger->recovery();
    if (recovery.created)
        m_logger->info("plays: a new ledger %1 in %2%3", m_ledger->id(), directory,
            recovery.discardedSegments > 0
                ? QStringLiteral(" (%1 segments of a ledger without identity removed)")
                      .arg(recovery.discardedSegments)
                : QString());
    if (recovery.tornBytes > 0)
        m_logger->warn(
            "plays: cut %1 bytes of a line that was not written whole", recovery.tornBytes);
    if (recovery.garbledLines > 0)
        m_logger->warn("plays: %1 damaged lines skipped", recovery.garbledLines);
    if (recovery.interrupted)
        m_logger->info(
            "plays: play %1 was interrupted by the end of the service", *recovery.interrupted);
    if (recovery.lost)
        m_logger->warn("plays: seqs %1 to %2 may have been used before a power cut and are not on "
                       "disk; recorded as lost",
            recovery.lost->from, recovery.lost->to);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(flushInterval);
    QObject::connect(&m_flushTimer, &QTimer::timeout, [this] { flush(); });
}

PlayRecorder::~PlayRecorder()
{
    try {
        m_ledger->finish();
    } catch (const std::exception& e) {
        failedWith(e);
    }
}

void PlayRecorder::setCatalogue(const QString& directory, PlayedCatalogue catalogue)
{
    const std::lock_guard lock(m_catalogueLock);
    m_catalogues.insert(directory, std::move(catalogue));
}

void PlayRecorder::started(const StreamPlay& play)
{
    plays::PlayRecord record;
    record.playlist = play.slot.playlist;
    record.file = play.slot.file;
    record.url = play.slot.url;
    record.scheduledStart = play.slot.start;
    record.scheduledEnd = play.slot.end;
    record.start = play.start;
    record.placeholder = play.slot.placeholder;
    {
        const std::lock_guard lock(m_catalogueLock);
        const auto catalogue = m_catalogues.constFind(play.directory);
        if (catalogue != m_catalogues.cend()) {
            if (catalogue->delivery)
                record.delivery = hex(*catalogue->delivery);
            if (const auto checksum = catalogue->checksums.constFind(play.slot.url);
                checksum != catalogue->checksums.cend())
                record.checksum = hex(*checksum);
        }
    }
    try {
        m_open = m_ledger->open(record);
        m_failing = false;
    } catch (const std::exception& e) {
        m_open.reset();
        failedWith(e);
    }
    flushSoon();
}

void PlayRecorder::ended(const StreamPlay& play)
{
    if (!m_open)
        return;
    try {
        m_ledger->close(*std::exchange(m_open, std::nullopt), play.end, outcomeOf(play.outcome));
    } catch (const std::exception& e) {
        failedWith(e);
    }
    flushSoon();
}

void PlayRecorder::flushSoon()
{
    QMetaObject::invokeMethod(
        &m_flushTimer,
        [this] {
            if (!m_flushTimer.isActive())
                m_flushTimer.start();
        },
        Qt::QueuedConnection);
}

void PlayRecorder::flush()
{
    try {
        m_ledger->flush();
    } catch (const std::exception& e) {
        failedWith(e);
    }
}

void PlayRecorder::failedWith(const std::exception& e)
{
    if (!m_failing.exchange(true))
        m_logger->error("plays: the ledger cannot be written: %1", QString::fromUtf8(e.what()));
}

} // namespace vesk::detail
