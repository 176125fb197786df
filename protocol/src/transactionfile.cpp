#include <vesk/protocol/transactionfile.h>

#include "xxhash64.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace vesk::protocol {

std::uint64_t xxh64(QByteArrayView bytes)
{
    XXHash64 hasher(0);
    hasher.add(bytes.data(), std::size_t(bytes.size()));
    return hasher.hash();
}

TransactionFileDigest digestOf(const QByteArray& content)
{
    return { content.size(), xxh64(content) };
}

std::uint64_t hashDevice(QIODevice& device)
{
    XXHash64 hasher(0);
    const auto buffer = std::make_unique_for_overwrite<char[]>(hashChunkSize);
    while (!device.atEnd()) {
        const qint64 n = device.read(buffer.get(), hashChunkSize);
        if (n < 0)
            throw std::runtime_error("cannot read " + device.errorString().toStdString());
        if (n == 0)
            break;
        hasher.add(buffer.get(), static_cast<std::size_t>(n));
    }
    return hasher.hash();
}

FileHash hashFile(int fd)
{
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    XXHash64 hasher(0);
    const auto buffer = std::make_unique_for_overwrite<char[]>(hashChunkSize);
    FileHash result;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), std::size_t(hashChunkSize));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::system_error(errno, std::generic_category(), "cannot read");
        if (n == 0)
            break;
        hasher.add(buffer.get(), std::size_t(n));
        result.size += n;
    }
    result.hash = hasher.hash();
    return result;
}

QByteArray formatTransactionLine(std::uint64_t checksum, QByteArrayView name)
{
    return QByteArray::number(quint64(checksum), 16).rightJustified(16, '0') + "  "
        + name.toByteArray() + '\n';
}

} // namespace vesk::protocol
