#include <vesk/core.h>

#include "homedirectory.h"
#include "peertext.h"
#include "statusreport.h"
#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>

#include <QElapsedTimer>
#include <QHash>
#include <QMetaObject>

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>

namespace vesk {

namespace {

using file::EntryType;

enum class Outcome {
    retry, // the delivery may still complete, or a fault may be mended: look again later
    settled, // nothing to do until the watcher reports news
    switched, // the delivery is played now
};

// How far filling the dirty directory got.
enum class Fill {
    retry,
    settled,
    badCopy, // the copy does not match its TF
    ready,
};

bool sameInode(int a, int b)
{
    struct stat first = {}, second = {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

// One run of the synchronisation: reads the sync TF, and only when it is news protects it with
// the immutable attribute, fills the dirty directory, verifies it and switches the link. The
// attribute is cleared when the run ends, however it ends.
class SyncRun
{
public:
    SyncRun(const Core& core, log::Logger* logger)
        : m_core(core)
        , m_logger(logger)
    {
    }
    ~SyncRun()
    {
        if (m_tf.isOpen())
            file::changeAttributes(m_tf.get(), {}, file::Immutable);
    }
    SyncRun(const SyncRun&) = delete;
    SyncRun& operator=(const SyncRun&) = delete;

    Outcome run();
    // What the status file tells of this run: outcome, reason and, after a switch, the files.
    const detail::SyncRecord& record() const { return m_record; }

private:
    Outcome report(Outcome outcome, const char* status, const QString& reason = {});
    void countDelivered(const QList<QString>& names);
    std::optional<Outcome> takeTransactionFile();
    bool protectTransactionFile();
    QSet<QString> unchangedFiles() const;
    Fill fill(const QSet<QString>& shared);
    void refuse(const char* indent, const QString& path, const QString& reason) const;
    void logInUse() const;

    const Core& m_core;
    log::Logger* m_logger;
    std::optional<detail::HomeDirectory> m_home;
    file::Descriptor m_syncDir;
    file::Descriptor m_tf;
    file::Descriptor m_cleanDir;
    file::Descriptor m_dirtyDir;
    QByteArray m_tfContent;
    QByteArray m_cleanTfContent;
    detail::SyncRecord m_record;
};

Outcome SyncRun::report(Outcome outcome, const char* status, const QString& reason)
{
    m_record.outcome = QString::fromLatin1(status);
    m_record.reason = reason;
    return outcome;
}

void SyncRun::countDelivered(const QList<QString>& names)
{
    m_record.files = 0;
    m_record.bytes = 0;
    for (const QString& name : names) {
        struct stat entry = {};
        if (name == u"TF"
            || ::fstatat(m_dirtyDir.get(), name.toUtf8().constData(), &entry, AT_SYMLINK_NOFOLLOW)
                != 0)
            continue;
        ++m_record.files;
        m_record.bytes += entry.st_size;
    }
}

Outcome SyncRun::run()
{
    if (const auto outcome = takeTransactionFile())
        return *outcome;

    const QString dirty = m_core.workPathDirty();
    m_logger->debug(QStringLiteral("  грязная директория %1"), dirty);
    std::error_code error;
    m_dirtyDir = m_home->open(dirty, EntryType::Directory, error);
    if (!m_dirtyDir.isOpen()) {
        refuse("  ", dirty, QString::fromStdString(error.message()));
        return report(Outcome::retry, "retry pending",
            QStringLiteral("%1: %2").arg(dirty, QString::fromStdString(error.message())));
    }
    // The played directory is never rebuilt, however the link came to name it.
    if (m_cleanDir.isOpen() && sameInode(m_dirtyDir.get(), m_cleanDir.get())) {
        refuse("  ", dirty, QStringLiteral("это воспроизводимая директория"));
        return report(Outcome::retry, "retry pending",
            QStringLiteral("%1 is the played directory").arg(dirty));
    }

    const QSet<QString> unchanged = unchangedFiles();
    Fill fill = this->fill(unchanged);
    // A played file that changed on disk since its delivery is not shared again: copy it all.
    if (fill == Fill::badCopy && !unchanged.isEmpty())
        fill = this->fill({});
    if (fill != Fill::ready)
        return fill == Fill::settled ? Outcome::settled : Outcome::retry;
    m_core.swapWorkPaths();
    return report(Outcome::switched, "switched");
}

std::optional<Outcome> SyncRun::takeTransactionFile()
{
    const QString tf = m_core.transactionFilePath(m_core.syncPath());
    std::error_code error;
    try {
        m_home.emplace(m_core);
        m_syncDir = m_home->open(m_core.syncPath(), EntryType::Directory, error);
    } catch (const std::system_error& e) {
        error = e.code();
    }
    if (!m_syncDir.isOpen() && error != std::errc::no_such_file_or_directory) {
        refuse(" ", m_core.syncPath(), QString::fromStdString(error.message()));
        return report(Outcome::retry, "retry pending",
            QStringLiteral("%1: %2").arg(
                m_core.syncPath(), QString::fromStdString(error.message())));
    }
    if (m_syncDir.isOpen())
        m_tf = m_home->open(tf, EntryType::RegularFile, error);
    if (!m_tf.isOpen()) {
        m_logger->info(
            QStringLiteral(" в директории синхронизации отсутствует файл транзакции - пропуск"));
        return report(Outcome::settled, "no delivery");
    }
    try {
        m_tfContent = file::readAll(m_tf.get(), detail::maxTransactionFileSize);
    } catch (const std::system_error& e) {
        // Far larger than any list of names, or unreadable: no delivery, until the next TF.
        const QString reason = e.code() == std::errc::file_too_large
            ? QStringLiteral("TF is larger than %1 MiB").arg(detail::maxTransactionFileSize >> 20)
            : QString::fromUtf8(e.what());
        m_logger->error(QStringLiteral(" файл %1 не может быть использован: %2 - пропускаем "
                                       "синхронизацию"),
            tf, reason);
        return report(Outcome::settled, "refused", reason);
    }

    // A small file, compared before anything is protected: most changes in the sync directory
    // are the media of a delivery whose TF has not come yet.
    const QString clean = m_core.workPathClean();
    m_cleanDir = m_home->open(clean, EntryType::Directory, error);
    const file::Descriptor cleanTf
        = m_home->open(m_core.transactionFilePath(clean), EntryType::RegularFile, error);
    if (cleanTf.isOpen())
        m_cleanTfContent = file::readAll(cleanTf.get(), detail::maxTransactionFileSize);
    if (cleanTf.isOpen() && m_cleanTfContent == m_tfContent) {
        m_logger->info(QStringLiteral(" данные актуальны - синхронизация не требуется"));
        return report(Outcome::settled, "up to date");
    }
    if (!protectTransactionFile()) {
        logInUse();
        return report(
            Outcome::retry, "retry pending", QStringLiteral("TF is held open by another process"));
    }
    return std::nullopt;
}

// Never sets the attribute on a file a writer holds: a writer cut off by it would leave a TF that
// ends early and still reads as a complete delivery. A writer that came between the first look
// and the attribute, or wrote and went, shows in the second look or in content that changed.
bool SyncRun::protectTransactionFile()
{
    if (file::used(m_tf.get()))
        return false;
    file::changeAttributes(m_tf.get(), file::Immutable, {});
    return !file::used(m_tf.get())
        && file::readAll(m_tf.get(), detail::maxTransactionFileSize) == m_tfContent;
}

// The names whose line in the new TF equals the one in the played directory's TF: those files
// are hard-linked from there instead of copied, and verified in the copy like every other.
QSet<QString> SyncRun::unchangedFiles() const
{
    QSet<QString> unchanged;
    if (!m_cleanDir.isOpen())
        return unchanged;
    QHash<QString, std::uint64_t> played;
    for (const detail::TransactionEntry& entry : detail::parseTransactionFile(m_cleanTfContent))
        played.insert(entry.name, entry.checksum);
    for (const detail::TransactionEntry& entry : detail::parseTransactionFile(m_tfContent)) {
        const auto it = played.constFind(entry.name);
        if (it != played.cend() && *it == entry.checksum)
            unchanged.insert(entry.name);
    }
    return unchanged;
}

Fill SyncRun::fill(const QSet<QString>& shared)
{
    auto result = detail::checkTransactionFile(m_syncDir.get(), shared);
    if (!result) {
        switch (result.error()) {
        case CheckTransactionFileError::TransactionFileNotFound:
            // Without a TF there is nothing to wait for; the watcher reports the next one.
            report(Outcome::settled, "no delivery");
            return Fill::settled;
        case CheckTransactionFileError::FileReadError:
            report(Outcome::retry, "refused",
                QStringLiteral("a file TF lists is missing or unreadable"));
            break;
        case CheckTransactionFileError::HashMismatch:
            report(Outcome::retry, "refused",
                QStringLiteral("a file does not match its checksum in TF"));
            break;
        case CheckTransactionFileError::NothingListed:
            report(Outcome::retry, "refused",
                QStringLiteral("TF lists no file: an incomplete delivery"));
            break;
        }
        return Fill::retry;
    }
    QList<QString> names = std::move(result).value();
    names.append(QStringLiteral("TF"));
    m_logger->debug(QStringLiteral("  копирование файлов %1"),
        detail::peerTextForLog(names.join(QStringLiteral(", "))));
    // The copy is verified while it is still being written back, and flushed only when it is
    // right: the link never names content that a crash could take back.
    const auto verify = [&] {
        m_logger->debug(QStringLiteral("  переключение чистой и грязной директорий"));
        return bool(detail::checkTransactionFile(m_dirtyDir.get()));
    };
    try {
        if (!file::sync(
                m_dirtyDir.get(), m_syncDir.get(), names, { m_cleanDir.get(), shared }, verify)) {
            report(Outcome::retry, "refused", QStringLiteral("the copy does not match TF"));
            return Fill::badCopy;
        }
        countDelivered(names);
        return Fill::ready;
    } catch (const std::exception& e) {
        // A full disk, most likely: the played content stays, and the next run tries again.
        m_logger->error(
            QStringLiteral("  ошибка копирования файлов: %1"), QString::fromUtf8(e.what()));
        report(Outcome::retry, "retry pending",
            QStringLiteral("copying failed: ") + QString::fromUtf8(e.what()));
        return Fill::retry;
    }
}

void SyncRun::refuse(const char* indent, const QString& path, const QString& reason) const
{
    m_logger->error(QString::fromLatin1(indent)
            + QStringLiteral(
                "директория %1 не может быть использована: %2 - пропускаем синхронизацию"),
        path, reason);
}

void SyncRun::logInUse() const
{
    m_logger->error(QStringLiteral(" файл ") + m_core.transactionFilePath(m_core.syncPath())
        + QStringLiteral(" используется другим процессом - пропускаем синхронизацию"));
}

} // namespace

// Content moves one way, sync → dirty, and becomes the played content only by the link switch
// after the copy has been verified and flushed to disk. Every way out clears the attribute on
// the sync TF and, when the delivery may still complete or a fault be mended (in use, an
// incomplete TF, unreadable or mismatching files, a failed copy or an exception), starts the
// retry timer.
void Core::onSync()
{
    m_logger->info(QStringLiteral("Началась синхронизация папок"));
    if (m_syncTimer) {
        m_syncTimer->stop();
    }
    Outcome outcome = Outcome::retry;
    QElapsedTimer took;
    took.start();
    detail::SyncRecord record;
    const auto tell = [&] {
        record.time = QDateTime::currentDateTime();
        record.durationMs = took.elapsed();
        record.retryPending = outcome == Outcome::retry && m_syncTimer;
        m_status->sync = record;
        if (outcome == Outcome::switched)
            m_status->switched = record;
        statusChanged();
    };
    try {
        SyncRun run(*this, m_logger);
        outcome = run.run();
        record = run.record();
    } catch (const std::exception& e) {
        record.outcome = QStringLiteral("retry pending");
        record.reason = QString::fromUtf8(e.what());
        if (m_syncTimer)
            m_syncTimer->start();
        tell();
        throw;
    } catch (...) {
        record.outcome = QStringLiteral("retry pending");
        if (m_syncTimer)
            m_syncTimer->start();
        tell();
        throw;
    }
    tell();
    if (outcome == Outcome::switched) {
        QMetaObject::invokeMethod(
            this, &Core::safe_wrap<&Core::onPlaylistChanged>, Qt::QueuedConnection);
        m_logger->info(QStringLiteral("  синхронизация завершена"));
    }
    if (outcome == Outcome::retry && m_syncTimer) {
        m_syncTimer->start();
    }
}

} // namespace vesk
