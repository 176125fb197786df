#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/xxhash64.h>

#include <QFile>

#include <fcntl.h>

#include <filesystem>
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

TransactionFileDigest digestOf(const QByteArray& content)
{
    XXHash64 hasher(0);
    hasher.add(content.constData(), std::size_t(content.size()));
    return { content.size(), hasher.hash() };
}

void logRefusedTransactionFile(const QString& reason)
{
    logger()->error(QStringLiteral("  файл транзакции отклонен: %1"), log::peerText(reason));
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
    file::Descriptor directory;
    QByteArray content;
    try {
        directory = file::openDirectory(QFile::encodeName(dir).toStdString());
        std::error_code error;
        const file::Descriptor tf
            = file::openInside(directory.get(), "TF", file::EntryType::RegularFile, error);
        if (!tf.isOpen())
            throw std::filesystem::filesystem_error("cannot open", dir.toStdString(), error);
        content = file::readAll(tf.get(), maxTransactionFileSize);
    } catch (const std::filesystem::filesystem_error&) {
        logger()->error(QStringLiteral("  не найден файл транзакции"));
        return Unexpected(CheckTransactionFileError::TransactionFileNotFound);
    }
    const auto entries = parseTransactionFile(content);
    if (!entries)
        return Unexpected(CheckTransactionFileError::Malformed);
    return checkFiles(directory.get(), entries.value());
}

Expected<QList<QString>, CheckTransactionFileError> checkFiles(
    int dir, const TransactionList& entries, const QSet<QString>& trusted)
{
    std::error_code error;
    QList<QString> verified;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString name = entries.nameText(i);
        if (!trusted.contains(name)) {
            const QByteArrayView bytes = entries.name(i);
            file::Descriptor fd
                = file::openInside(dir, std::string_view(bytes.data(), std::size_t(bytes.size())),
                    file::EntryType::RegularFile, error);
            if (!fd.isOpen()) {
                logger()->warn(QStringLiteral("  ошибка чтения файла %1: %2"), log::peerText(name),
                    QString::fromStdString(error.message()));
                return Unexpected(CheckTransactionFileError::FileReadError);
            }
            if (hashFile(std::move(fd)) != entries.checksum(i)) {
                logger()->error(QStringLiteral("  хеш сумма для файла %1 не совпадает с эталонной"),
                    log::peerText(name));
                return Unexpected(CheckTransactionFileError::HashMismatch);
            }
        }
        verified.append(name);
    }
    if (verified.isEmpty()) {
        logger()->error(
            QStringLiteral("  файл транзакции не содержит ни одного файла - доставка неполная"));
        return Unexpected(CheckTransactionFileError::NothingListed);
    }
    return verified;
}

} // namespace vesk::detail
