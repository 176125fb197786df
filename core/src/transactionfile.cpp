#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>

#include <QFile>

#include <fcntl.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace vesk::detail {

namespace {

log::Logger* logger()
{
    return log::Manager::logger(QStringLiteral("vesk.core"));
}

// The checksum of an open file, which this takes over.
std::uint64_t hashFile(file::Descriptor fd)
{
    try {
        return protocol::hashFile(fd.get()).hash;
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("cannot read: ") + e.code().message());
    }
}

} // namespace

Expected<TransactionList, QString> parseTransactionFile(const QByteArray& content, bool quiet)
{
    protocol::TransactionFile parsed = protocol::parseTransactionFile(content);
    if (!quiet) {
        for (const QByteArray& name : parsed.namedOutside)
            logger()->warn(QStringLiteral("  файл %1 будет пропущен, так как он находится за "
                                          "пределами директории синхронизации"),
                log::peerText(QString::fromUtf8(name)));
        if (parsed.outside > parsed.namedOutside.size())
            logger()->warn(
                QStringLiteral("  пропущено еще %1 файлов за пределами директории синхронизации"),
                QString::number(parsed.outside - parsed.namedOutside.size()));
        if (!parsed.list)
            logRefusedTransactionFile(parsed.list.error());
    }
    return std::move(parsed.list);
}

void logRefusedTransactionFile(const QString& reason)
{
    logger()->error(QStringLiteral("  файл транзакции отклонен: %1"), log::peerText(reason));
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
