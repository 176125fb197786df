#include "transactionfile.h"

#include "peertext.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/xxhash64.h>

#include <QFile>

#include <fcntl.h>

#include <memory>
#include <stdexcept>
#include <system_error>

namespace vesk::detail {

namespace {

constexpr qint64 hashChunkSize = 256 * 1024;

log::Logger* logger()
{
    return log::Manager::logger(QStringLiteral("vesk.core"));
}

// The checksum of an open file, which this takes over.
std::uint64_t hashFile(file::Descriptor fd)
{
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    QFile file;
    // hashDevice reads in its own pieces; a buffer of the device would only copy the bytes twice.
    if (!file.open(
            fd.get(), QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        throw std::runtime_error("cannot read " + file.errorString().toStdString());
    }
    fd.release();
    return hashDevice(file);
}

} // namespace

TransactionEntry parseTransactionLine(QByteArray line)
{
    if (line.endsWith('\n')) {
        line.chop(1);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    TransactionEntry entry;
    bool ok = false;
    entry.checksum = line.left(16).toULongLong(&ok, 16);
    if (!ok) {
        entry.checksum = 0;
    }
    if (line.size() > 18) {
        entry.name = QString::fromUtf8(line.mid(18));
    }
    return entry;
}

QList<TransactionEntry> parseTransactionFile(const QByteArray& content)
{
    QList<TransactionEntry> entries;
    for (qsizetype start = 0; start < content.size();) {
        qsizetype end = content.indexOf('\n', start);
        end = end < 0 ? content.size() : end + 1;
        entries.append(parseTransactionLine(content.mid(start, end - start)));
        start = end;
    }
    return entries;
}

std::uint64_t hashDevice(QIODevice& device)
{
    XXHash64 hasher(0);
    const auto buffer = std::make_unique_for_overwrite<char[]>(hashChunkSize);
    while (!device.atEnd()) {
        const qint64 n = device.read(buffer.get(), hashChunkSize);
        if (n < 0) {
            throw std::runtime_error("cannot read " + device.errorString().toStdString());
        }
        if (n == 0) {
            break;
        }
        hasher.add(buffer.get(), static_cast<std::size_t>(n));
    }
    return hasher.hash();
}

Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(const QString& dir)
{
    try {
        return checkTransactionFile(
            file::openDirectory(QFile::encodeName(dir).toStdString()).get());
    } catch (const std::filesystem::filesystem_error&) {
        logger()->error(QStringLiteral("  не найден файл транзакции"));
        return Unexpected(CheckTransactionFileError::TransactionFileNotFound);
    }
}

Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(
    int dir, const QSet<QString>& trusted)
{
    std::error_code error;
    const file::Descriptor tf = file::openInside(dir, "TF", file::EntryType::RegularFile, error);
    if (!tf.isOpen()) {
        logger()->error(QStringLiteral("  не найден файл транзакции"));
        return Unexpected(CheckTransactionFileError::TransactionFileNotFound);
    }
    const QList<TransactionEntry> entries
        = parseTransactionFile(file::readAll(tf.get(), maxTransactionFileSize));

    QList<QString> verified;
    for (const TransactionEntry& entry : entries) {
        const std::string name = entry.name.toStdString();
        if (!file::componentsInside(name)) {
            logger()->warn(QStringLiteral("  файл %1 будет пропущен, так как он находится за "
                                          "пределами директории синхронизации"),
                peerTextForLog(entry.name));
            continue;
        }
        if (!trusted.contains(entry.name)) {
            file::Descriptor fd = file::openInside(dir, name, file::EntryType::RegularFile, error);
            if (!fd.isOpen()) {
                logger()->warn(QStringLiteral("  ошибка чтения файла %1: %2"),
                    peerTextForLog(entry.name), QString::fromStdString(error.message()));
                return Unexpected(CheckTransactionFileError::FileReadError);
            }
            if (hashFile(std::move(fd)) != entry.checksum) {
                logger()->error(QStringLiteral("  хеш сумма для файла %1 не совпадает с эталонной"),
                    peerTextForLog(entry.name));
                return Unexpected(CheckTransactionFileError::HashMismatch);
            }
        }
        verified.append(entry.name);
    }
    if (verified.isEmpty()) {
        logger()->error(
            QStringLiteral("  файл транзакции не содержит ни одного файла - доставка неполная"));
        return Unexpected(CheckTransactionFileError::NothingListed);
    }
    return verified;
}

} // namespace vesk::detail
