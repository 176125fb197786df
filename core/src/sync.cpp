#include <vesk/core.h>

#include "homedirectory.h"
#include "statusreport.h"
#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/stream.h>

#include <QElapsedTimer>
#include <QHash>
#include <QMetaObject>
#include <QScopeGuard>

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <optional>

namespace vesk {

namespace {

using file::EntryType;
using status::SyncOutcome;

QString messageOf(const std::system_error& error)
{
    return QString::fromStdString(error.code().message());
}

// What a check that failed tells the status; the check has logged which file it was.
QString reasonOf(CheckTransactionFileError error)
{
    switch (error) {
    case CheckTransactionFileError::FileReadError:
        return QStringLiteral("a file TF lists is missing or unreadable");
    case CheckTransactionFileError::HashMismatch:
        return QStringLiteral("a file does not match its checksum in TF");
    case CheckTransactionFileError::NothingListed:
        return QStringLiteral("TF lists no file: an incomplete delivery");
    case CheckTransactionFileError::TransactionFileNotFound:
    case CheckTransactionFileError::Malformed:
        break;
    }
    return QStringLiteral("TF cannot be taken");
}

// One run of the synchronisation. It opens the home once and reads the sync TF and the link once;
// only when the TF is news it protects it with the immutable attribute, fills the directory the
// link does not name, verifies the copy against what it read, writes the copy's TF from it and
// points the link at the directory it filled. The attribute is cleared when the run ends, however
// it ends. Every step either goes on or ends the run, its outcome in the record.
class SyncRun
{
public:
    // `engineDirectory` is the directory the stream engine plays, which may still be the one the
    // link named before the last switch; `last` is how the run before this one ended.
    SyncRun(const Core& core, log::Logger* logger, QString engineDirectory,
        const std::optional<detail::SyncRecord>& last)
        : m_core(core)
        , m_logger(logger)
        , m_engineDirectory(std::move(engineDirectory))
        , m_last(last)
    {
    }
    // Also clears an attribute that a run killed half-way left behind.
    ~SyncRun()
    {
        if (m_tf.isOpen())
            file::changeAttributes(m_tf.get(), {}, file::Immutable);
    }
    SyncRun(const SyncRun&) = delete;
    SyncRun& operator=(const SyncRun&) = delete;

    // How the run ended; an exception leaves the record to the caller.
    const detail::SyncRecord& run();
    // The engine still plays the directory the delivery would fill, though the link has moved on:
    // a playlist application brings it to the played one.
    bool engineBehind() const { return m_engineBehind; }
    // After a switch, the directory the link names now, as the run verified it; once.
    std::unique_ptr<detail::SwitchedDirectory> takeSwitched();

private:
    bool end(SyncOutcome outcome, const QString& reason = {});
    bool openTransactionFile();
    bool readTransactionFile();
    bool refusedBefore();
    bool isNews();
    bool protectTransactionFile();
    void openPlayed();
    bool openDirty();
    bool isPlayed(int directory) const;
    bool isPlayedByTheEngine(int directory) const;
    bool fill(const QSet<QString>& shared, bool& badCopy);
    QSet<QString> unchangedFiles() const;
    void countDelivered(const QList<QString>& names);
    bool noDelivery();
    void refuse(const char* indent, const QString& path, const QString& reason) const;

    const Core& m_core;
    log::Logger* m_logger;
    QString m_engineDirectory;
    const std::optional<detail::SyncRecord>& m_last;
    std::optional<detail::HomeDirectory> m_home;
    // What the link named when the run read it; empty when it named no work directory.
    QString m_playedPath;
    std::optional<detail::PlayedDirectory> m_played;
    QString m_dirtyPath;
    file::Descriptor m_syncDir;
    file::Descriptor m_tf;
    file::Descriptor m_dirtyDir;
    bool m_engineBehind = false;
    QByteArray m_tfContent;
    detail::TransactionFileDigest m_digest;
    std::optional<QByteArray> m_playedTfContent;
    detail::TransactionList m_entries;
    detail::SyncRecord m_record;
};

const detail::SyncRecord& SyncRun::run()
{
    if (!openTransactionFile() || !readTransactionFile() || refusedBefore() || !isNews()
        || !protectTransactionFile() || !openDirty())
        return m_record;
    bool badCopy = false;
    const QSet<QString> unchanged = unchangedFiles();
    bool filled = fill(unchanged, badCopy);
    // A played file that changed on disk since its delivery is not shared again: copy it all.
    if (!filled && badCopy && !unchanged.isEmpty())
        filled = fill({}, badCopy);
    if (filled) {
        m_home->switchLink(m_dirtyPath);
        end(SyncOutcome::switched);
    }
    return m_record;
}

std::unique_ptr<detail::SwitchedDirectory> SyncRun::takeSwitched()
{
    if (m_record.outcome != SyncOutcome::switched || !m_dirtyDir.isOpen())
        return nullptr;
    return std::make_unique<detail::SwitchedDirectory>(detail::SwitchedDirectory {
        detail::PlayedDirectory(m_dirtyPath, std::move(m_dirtyDir)), m_digest.hash });
}

bool SyncRun::end(SyncOutcome outcome, const QString& reason)
{
    m_record.outcome = outcome;
    m_record.reason = reason;
    return false;
}

bool SyncRun::noDelivery()
{
    m_logger->info(
        QStringLiteral(" в директории синхронизации отсутствует файл транзакции - пропуск"));
    return end(SyncOutcome::noDelivery);
}

bool SyncRun::openTransactionFile()
{
    const QString sync = m_core.syncPath();
    try {
        m_home.emplace(m_core);
        m_syncDir = m_home->open(sync, EntryType::Directory);
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::no_such_file_or_directory)
            return noDelivery();
        refuse(" ", sync, messageOf(e));
        return end(SyncOutcome::retryPending, QStringLiteral("%1: %2").arg(sync, messageOf(e)));
    }
    try {
        m_tf = m_home->open(m_core.transactionFilePath(sync), EntryType::RegularFile);
    } catch (const std::system_error&) {
        // Missing, or anything but a regular file in its place: nothing delivered to look at.
        return noDelivery();
    }
    return true;
}

// The one read of the sync TF in a run: the check, the copy and the copy's TF all use these bytes.
bool SyncRun::readTransactionFile()
{
    try {
        struct stat info = {};
        // Refused by its size, unread.
        if (::fstat(m_tf.get(), &info) == 0 && info.st_size > detail::maxTransactionFileSize)
            throw std::system_error(std::make_error_code(std::errc::file_too_large));
        m_tfContent = file::readAll(m_tf.get(), detail::maxTransactionFileSize);
        m_digest = detail::digestOf(m_tfContent);
        m_record.delivery = m_digest.hash;
        return true;
    } catch (const std::system_error& e) {
        const bool tooLarge = e.code() == std::errc::file_too_large;
        // Far larger than any list of names: no delivery, until the next TF.
        const QString reason = tooLarge
            ? QStringLiteral("TF is larger than %1 MiB").arg(detail::maxTransactionFileSize >> 20)
            : QString::fromUtf8(e.what());
        m_logger->error(QStringLiteral(" файл %1 не может быть использован: %2 - пропускаем "
                                       "синхронизацию"),
            m_core.transactionFilePath(m_core.syncPath()), reason);
        return end(tooLarge ? SyncOutcome::malformed : SyncOutcome::retryPending, reason);
    }
}

// The TF that the last run refused as malformed, unchanged: refused again, unparsed, so that
// neither the watcher nor a restart of the delivery makes the register pay for it twice.
bool SyncRun::refusedBefore()
{
    if (!m_last || m_last->refusedTf != m_digest)
        return false;
    m_record.refusedTf = m_digest;
    m_record.refusedSince = m_last->refusedSince;
    detail::logRefusedTransactionFile(m_last->reason);
    end(SyncOutcome::malformed, m_last->reason);
    return true;
}

// A small file, compared before anything is protected: most changes in the sync directory are
// the media of a delivery whose TF has not come yet.
bool SyncRun::isNews()
{
    openPlayed();
    if (m_playedTfContent == m_tfContent) {
        m_logger->info(QStringLiteral(" данные актуальны - синхронизация не требуется"));
        return end(SyncOutcome::upToDate);
    }
    auto entries = detail::parseTransactionFile(m_tfContent);
    if (!entries) {
        m_record.refusedTf = m_digest;
        return end(SyncOutcome::malformed, entries.error());
    }
    m_entries = std::move(entries).value();
    return true;
}

// Never sets the attribute on a file a writer holds: a writer cut off by it would leave a TF that
// ends early and still reads as a complete delivery. A writer that came between the read and the
// attribute shows in the second look, and one that wrote and went in a size other than what was
// read. A writer that rewrote it whole to the same size delivered anew: the watcher brings that
// delivery to the next run, and this one copies the TF it read, never the one on disk.
bool SyncRun::protectTransactionFile()
{
    if (!file::used(m_tf.get())) {
        file::changeAttributes(m_tf.get(), file::Immutable, {});
        struct stat info = {};
        if (!file::used(m_tf.get()) && ::fstat(m_tf.get(), &info) == 0
            && info.st_size == m_tfContent.size())
            return true;
    }
    m_logger->error(QStringLiteral(" файл ") + m_core.transactionFilePath(m_core.syncPath())
        + QStringLiteral(" используется другим процессом - пропускаем синхронизацию"));
    return end(SyncOutcome::retryPending, QStringLiteral("TF is held open by another process"));
}

// The one read of the link in a run: the directory it names is the one compared, shared from and
// never rebuilt, and the other one is filled and switched to, whatever the link says meanwhile.
void SyncRun::openPlayed()
{
    try {
        m_playedPath = m_home->playedPath();
        m_played.emplace(m_playedPath, m_home->open(m_playedPath, EntryType::Directory));
        m_playedTfContent = m_played->readFile("TF", detail::maxTransactionFileSize);
    } catch (const std::system_error&) {
        // Nothing played yet, or a played directory without its TF: any delivery is news.
    }
}

bool SyncRun::openDirty()
{
    m_dirtyPath = m_home->dirtyPath(m_playedPath);
    m_logger->debug(QStringLiteral("  грязная директория %1"), m_dirtyPath);
    try {
        m_dirtyDir = m_home->open(m_dirtyPath, EntryType::Directory);
    } catch (const std::system_error& e) {
        refuse("  ", m_dirtyPath, messageOf(e));
        return end(
            SyncOutcome::retryPending, QStringLiteral("%1: %2").arg(m_dirtyPath, messageOf(e)));
    }
    const bool linked = isPlayed(m_dirtyDir.get());
    m_engineBehind = !linked && isPlayedByTheEngine(m_dirtyDir.get());
    if (linked || m_engineBehind) {
        refuse("  ", m_dirtyPath, QStringLiteral("это воспроизводимая директория"));
        return end(SyncOutcome::retryPending,
            QStringLiteral("%1 is the played directory").arg(m_dirtyPath));
    }
    return true;
}

// The played directory is never rebuilt: neither the one the link names, however it came to name
// it, nor the one the engine still plays until the playlist application moves it on.
bool SyncRun::isPlayed(int directory) const
{
    return m_played && m_played->isSame(directory);
}

bool SyncRun::isPlayedByTheEngine(int directory) const
{
    if (m_engineDirectory.isEmpty())
        return false;
    try {
        const detail::PlayedDirectory engine(
            m_engineDirectory, m_home->open(m_engineDirectory, EntryType::Directory));
        return engine.isSame(directory);
    } catch (const std::system_error&) {
        // Gone, or outside the home: not a directory a sync could write.
        return false;
    }
}

// The names that the played directory's TF lists with the same checksum, both TFs read by the one
// parser ("./a.mp4" is a.mp4): those files are hard-linked from there instead of copied, and
// verified in the copy like every other. A played TF that today's rules refuse shares nothing.
QSet<QString> SyncRun::unchangedFiles() const
{
    QSet<QString> unchanged;
    if (!m_played || !m_playedTfContent)
        return unchanged;
    const auto parsed = detail::parseTransactionFile(*m_playedTfContent, true);
    if (!parsed)
        return unchanged;
    const detail::TransactionList& played = parsed.value();
    QHash<QByteArrayView, std::uint64_t> checksums;
    checksums.reserve(played.size());
    for (qsizetype i = 0; i < played.size(); ++i)
        checksums.insert(played.name(i), played.checksum(i));
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const auto it = checksums.constFind(m_entries.name(i));
        if (it != checksums.cend() && *it == m_entries.checksum(i))
            unchanged.insert(m_entries.nameText(i));
    }
    return unchanged;
}

// Verifies the delivery, copies it (files in `shared` linked from the played directory), verifies
// the copy while it is still being written back, and flushes it only when it is right; the copy's
// TF goes last, from the bytes this run verified: the link never names content that a crash could
// take back, nor a TF other than the one the files were checked against.
bool SyncRun::fill(const QSet<QString>& shared, bool& badCopy)
{
    badCopy = false;
    const auto verified = detail::checkFiles(m_syncDir.get(), m_entries, shared);
    if (!verified)
        return end(SyncOutcome::refused, reasonOf(verified.error()));
    const QList<QString>& names = verified.value();
    m_logger->debug(QStringLiteral("  копирование файлов %1, TF"),
        log::peerText(names.join(QStringLiteral(", "))));
    const auto verify = [&] {
        m_logger->debug(QStringLiteral("  переключение чистой и грязной директорий"));
        return bool(detail::checkFiles(m_dirtyDir.get(), m_entries));
    };
    try {
        if (!file::sync(m_dirtyDir.get(), m_syncDir.get(), names,
                { m_played ? m_played->get() : -1, shared }, verify)) {
            badCopy = true;
            return end(SyncOutcome::refused, QStringLiteral("the copy does not match TF"));
        }
        file::save2file(m_dirtyDir.get(), "TF", m_tfContent, 0644);
    } catch (const std::exception& e) {
        // A full disk, most likely: the played content stays, and the next run tries again.
        m_logger->error(
            QStringLiteral("  ошибка копирования файлов: %1"), QString::fromUtf8(e.what()));
        return end(SyncOutcome::retryPending,
            QStringLiteral("copying failed: ") + QString::fromUtf8(e.what()));
    }
    countDelivered(names);
    return true;
}

void SyncRun::countDelivered(const QList<QString>& names)
{
    m_record.files = 0;
    m_record.bytes = 0;
    for (const QString& name : names) {
        struct stat entry = {};
        if (::fstatat(m_dirtyDir.get(), name.toUtf8().constData(), &entry, AT_SYMLINK_NOFOLLOW)
            != 0)
            continue;
        ++m_record.files;
        m_record.bytes += entry.st_size;
    }
}

void SyncRun::refuse(const char* indent, const QString& path, const QString& reason) const
{
    m_logger->error(QString::fromLatin1(indent)
            + QStringLiteral(
                "директория %1 не может быть использована: %2 - пропускаем синхронизацию"),
        path, reason);
}

} // namespace

// Content moves one way, sync → dirty, and becomes the played content only by the link switch
// after the copy has been verified and flushed to disk. Every way out clears the attribute on the
// sync TF, tells the status how the run ended and, when the outcome says the delivery may still
// complete or a fault be mended (status::retries), starts the retry timer; an exception counts as
// "retry pending".
void Core::onSync()
{
    m_logger->info(QStringLiteral("Началась синхронизация папок"));
    if (m_syncTimer)
        m_syncTimer->stop();
    QElapsedTimer took;
    took.start();
    detail::SyncRecord record;
    const auto tell = qScopeGuard([&] {
        record.time = QDateTime::currentDateTime();
        record.durationMs = took.elapsed();
        if (record.refusedTf && !record.refusedSince.isValid())
            record.refusedSince = record.time;
        m_status->sync = record;
        if (record.outcome == status::SyncOutcome::switched)
            m_status->switched = record;
        statusChanged();
        if (status::retries(record.outcome) && m_syncTimer)
            m_syncTimer->start();
    });
    bool engineBehind = false;
    try {
        SyncRun run(*this, m_logger, m_stream->programme().directory, m_status->sync);
        record = run.run();
        engineBehind = run.engineBehind();
        if (auto switched = run.takeSwitched())
            m_switched = std::move(switched);
    } catch (const std::exception& e) {
        record.reason = QString::fromUtf8(e.what());
        throw;
    }
    if (record.outcome == status::SyncOutcome::switched || engineBehind) {
        QMetaObject::invokeMethod(
            this, &Core::safe_wrap<&Core::onPlaylistChanged>, Qt::QueuedConnection);
    }
    if (record.outcome == status::SyncOutcome::switched)
        m_logger->info(QStringLiteral("  синхронизация завершена"));
}

} // namespace vesk
