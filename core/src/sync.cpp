#include <vesk/core.h>

#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>

#include <QFile>
#include <QMetaObject>

#include <sys/stat.h>

#include <filesystem>

namespace vesk {

namespace {

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(path.toUtf8().toStdString());
}

// A symbolic link in the transaction file's place must not lend the attribute to the file it
// names: the run would clear, at its end, a flag that somebody else had set there.
bool isPlainFile(const QString& path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

// Content moves one way, sync → dirty, and becomes the played content only by the link switch
// after the copy has been verified. Every way out clears the attribute on the sync TF and, when
// the delivery may still complete (in use, unreadable or mismatching files, failed copy or an
// exception), starts the retry timer.
void Core::onSync()
{
    m_logger->info(QStringLiteral("Началась синхронизация папок"));
    const QString sync = syncPath();
    const QString tf = transactionFilePath(sync);
    if (m_syncTimer) {
        m_syncTimer->stop();
    }
    bool retry = true;

    const bool guardTf = isPlainFile(tf);
    if (guardTf) {
        file::changeAttributes(fsPath(tf), file::Immutable, {});
    }
    const auto finish = [&] {
        if (guardTf) {
            file::changeAttributes(fsPath(tf), {}, file::Immutable);
        }
        if (retry && m_syncTimer) {
            m_syncTimer->start();
        }
    };

    try {
        [&] {
            if (file::used(fsPath(tf))) {
                m_logger->error(QStringLiteral(" файл ") + tf
                    + QStringLiteral(" используется другим процессом - пропускаем синхронизацию"));
                return;
            }

            QString error;
            QFile syncTf;
            if (!detail::openRegularFile(syncTf, tf, QIODevice::ReadOnly, &error)) {
                retry = false;
                m_logger->info(QStringLiteral(
                    " в директории синхронизации отсутствует файл транзакции - пропуск"));
                return;
            }
            QFile cleanTf;
            if (detail::openRegularFile(
                    cleanTf, transactionFilePath(workPathClean()), QIODevice::ReadOnly, &error)
                && detail::hashDevice(syncTf) == detail::hashDevice(cleanTf)) {
                retry = false;
                m_logger->info(QStringLiteral(" данные актуальны - синхронизация не требуется"));
                return;
            }
            syncTf.close();
            cleanTf.close();

            const QString dirty = workPathDirty();
            m_logger->debug(QStringLiteral("  грязная директория %1"), dirty);

            auto result = detail::checkTransactionFile(syncPath());
            if (!result) {
                // Without a TF there is nothing to wait for; the watcher reports the next one.
                if (result.error() == CheckTransactionFileError::TransactionFileNotFound) {
                    retry = false;
                }
                return;
            }
            QList<QString> names = std::move(result).value();
            names.append(QStringLiteral("TF"));
            m_logger->debug(
                QStringLiteral("  копирование файлов %1"), names.join(QStringLiteral(", ")));
            file::sync(fsPath(dirty), fsPath(syncPath()), names);

            m_logger->debug(QStringLiteral("  переключение чистой и грязной директорий"));
            if (!detail::checkTransactionFile(dirty)) {
                return;
            }
            swapWorkPaths();
            QMetaObject::invokeMethod(
                this, &Core::safe_wrap<&Core::onPlaylistChanged>, Qt::QueuedConnection);
            retry = false;
            m_logger->info(QStringLiteral("  синхронизация завершена"));
        }();
    } catch (...) {
        retry = true;
        finish();
        throw;
    }
    finish();
}

} // namespace vesk
