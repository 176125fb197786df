#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/xxhash64.h>

#include <QFile>
#include <QHash>

#include <fcntl.h>

#include <climits>
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

TransactionLine parseTransactionLine(QByteArray line)
{
    if (line.endsWith('\n')) {
        line.chop(1);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    TransactionLine entry;
    bool ok = false;
    entry.checksum = line.left(16).toULongLong(&ok, 16);
    if (!ok) {
        entry.checksum = 0;
    }
    if (line.size() > 18) {
        entry.name = line.mid(18);
    }
    return entry;
}

QList<TransactionLine> transactionLines(const QByteArray& content)
{
    QList<TransactionLine> lines;
    for (qsizetype start = 0; start < content.size();) {
        const qsizetype end = content.indexOf('\n', start);
        const qsizetype next = end < 0 ? content.size() : end + 1;
        lines.append(parseTransactionLine(content.mid(start, next - start)));
        start = next;
    }
    return lines;
}

Expected<QList<TransactionEntry>, QString> parseTransactionFile(const QByteArray& content)
{
    const auto refuse = [](const QString& reason) {
        logger()->error(QStringLiteral("  файл транзакции отклонен: %1"), log::peerText(reason));
        return Unexpected(reason);
    };
    QList<TransactionEntry> entries;
    QHash<QString, std::uint64_t> checksums;
    QSet<QString> directories;
    // A TF may hold millions of such lines: the first few are named, the rest counted, so that
    // one delivery cannot push the earlier lines out of the log.
    constexpr int namedOutside = 8;
    int outside = 0;
    int number = 0;
    for (const TransactionLine& line : transactionLines(content)) {
        ++number;
        if (!line.name.isValidUtf8())
            return refuse(QStringLiteral("line %1: the name is not UTF-8").arg(number));
        const auto components = file::componentsInside(line.name.toStdString());
        if (!components) {
            if (++outside <= namedOutside)
                logger()->warn(QStringLiteral("  файл %1 будет пропущен, так как он находится за "
                                              "пределами директории синхронизации"),
                    log::peerText(QString::fromUtf8(line.name)));
            continue;
        }
        if (components->empty())
            return refuse(QStringLiteral("line %1 names no file").arg(number));
        QString name;
        for (const std::string& component : *components) {
            if (component.size() > NAME_MAX)
                return refuse(QStringLiteral("line %1: a part of the name is longer than %2 bytes")
                                  .arg(number)
                                  .arg(NAME_MAX));
            if (!name.isEmpty())
                directories.insert(name);
            name += (name.isEmpty() ? QString() : QStringLiteral("/"))
                + QString::fromStdString(component);
        }
        if (name.toUtf8().size() >= PATH_MAX)
            return refuse(QStringLiteral("line %1: the name is longer than %2 bytes")
                              .arg(number)
                              .arg(PATH_MAX - 1));
        const auto seen = checksums.constFind(name);
        if (seen != checksums.cend()) {
            if (*seen != line.checksum)
                return refuse(QStringLiteral("line %1 lists %2 again with another checksum")
                                  .arg(QString::number(number), name));
            continue;
        }
        checksums.insert(name, line.checksum);
        entries.append({ name, line.checksum });
    }
    if (outside > namedOutside)
        logger()->warn(
            QStringLiteral("  пропущено еще %1 файлов за пределами директории синхронизации"),
            QString::number(outside - namedOutside));
    for (const TransactionEntry& entry : entries) {
        if (directories.contains(entry.name))
            return refuse(
                QStringLiteral("%1 is listed as a file and as a directory").arg(entry.name));
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
    int dir, const QList<TransactionEntry>& entries, const QSet<QString>& trusted)
{
    std::error_code error;
    QList<QString> verified;
    for (const TransactionEntry& entry : entries) {
        if (!trusted.contains(entry.name)) {
            file::Descriptor fd = file::openInside(
                dir, entry.name.toStdString(), file::EntryType::RegularFile, error);
            if (!fd.isOpen()) {
                logger()->warn(QStringLiteral("  ошибка чтения файла %1: %2"),
                    log::peerText(entry.name), QString::fromStdString(error.message()));
                return Unexpected(CheckTransactionFileError::FileReadError);
            }
            if (hashFile(std::move(fd)) != entry.checksum) {
                logger()->error(QStringLiteral("  хеш сумма для файла %1 не совпадает с эталонной"),
                    log::peerText(entry.name));
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
