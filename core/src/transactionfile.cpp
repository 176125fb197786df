#include "transactionfile.h"

#include <vesk/log.h>
#include <vesk/xxhash64.h>

#include <QFile>
#include <QIODevice>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace vesk::detail {

namespace {

constexpr qint64 hashChunkSize = 8192;
// hashDevice reads in its own pieces; a buffer of the device would only copy the bytes twice.
constexpr QIODevice::OpenMode hashMode = QIODevice::ReadOnly | QIODevice::Unbuffered;

QString errnoText(int error)
{
    return QString::fromStdString(std::generic_category().message(error));
}

// Closes a descriptor unless it has been handed on.
class FdGuard
{
public:
    explicit FdGuard(int fd = -1)
        : m_fd(fd)
    {
    }
    ~FdGuard() { reset(); }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;

    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

// Takes over fd when it is a regular file; otherwise closes it and says why.
bool adoptRegularFile(QFile& file, FdGuard& fd, QIODevice::OpenMode mode, QString* error)
{
    struct stat st = {};
    if (::fstat(fd.get(), &st) != 0) {
        *error = errnoText(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = errnoText(EISDIR);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = QStringLiteral("Not a regular file");
        return false;
    }
    if (!file.open(fd.get(), mode, QFileDevice::AutoCloseHandle)) {
        *error = file.errorString();
        return false;
    }
    fd.release();
    return true;
}

// O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for regular files.
constexpr int fileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int directoryFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

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

bool isOutsideDirectory(const QString& name)
{
    if (name.startsWith(QLatin1Char('/'))) {
        return true;
    }
    const auto components = name.split(QLatin1Char('/'));
    return components.contains(QStringLiteral(".."));
}

bool openInsideDirectory(
    QFile& file, const QString& dir, const QString& name, QIODevice::OpenMode mode, QString* error)
{
    FdGuard current(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (current.get() < 0) {
        *error = errnoText(errno);
        return false;
    }
    QList<QByteArray> components;
    for (const QString& component : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QByteArray encoded = QFile::encodeName(component);
        // The system would cut the name at a NUL and open some other file.
        if (encoded.contains('\0')) {
            *error = errnoText(EINVAL);
            return false;
        }
        components.append(encoded);
    }
    if (components.isEmpty()) {
        return adoptRegularFile(file, current, mode, error);
    }
    for (qsizetype i = 0; i < components.size(); ++i) {
        const bool last = i + 1 == components.size();
        const int fd
            = ::openat(current.get(), components[i].constData(), last ? fileFlags : directoryFlags);
        if (fd < 0) {
            int reason = errno;
            // O_DIRECTORY reports a linked directory as ENOTDIR; say what really stopped us.
            struct stat st = {};
            if (reason == ENOTDIR
                && ::fstatat(current.get(), components[i].constData(), &st, AT_SYMLINK_NOFOLLOW)
                    == 0
                && S_ISLNK(st.st_mode)) {
                reason = ELOOP;
            }
            *error = errnoText(reason);
            return false;
        }
        current.reset(fd);
    }
    return adoptRegularFile(file, current, mode, error);
}

bool openRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error)
{
    FdGuard fd(::open(QFile::encodeName(path).constData(), fileFlags));
    if (fd.get() < 0) {
        *error = errnoText(errno);
        return false;
    }
    return adoptRegularFile(file, fd, mode, error);
}

std::uint64_t hashDevice(QIODevice& device)
{
    XXHash64 hasher(0);
    char buffer[hashChunkSize];
    while (!device.atEnd()) {
        const qint64 n = device.read(buffer, hashChunkSize);
        if (n < 0) {
            throw std::runtime_error("cannot read " + device.errorString().toStdString());
        }
        if (n == 0) {
            break;
        }
        hasher.add(buffer, static_cast<std::size_t>(n));
    }
    return hasher.hash();
}

Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(const QString& dir)
{
    log::Logger* logger = log::Manager::logger(QStringLiteral("vesk.core"));

    QFile tf;
    QString error;
    if (!openInsideDirectory(tf, dir, QStringLiteral("TF"), QIODevice::ReadOnly, &error)) {
        logger->error(QStringLiteral("  не найден файл транзакции"));
        return Unexpected(CheckTransactionFileError::TransactionFileNotFound);
    }
    QList<TransactionEntry> entries;
    for (QByteArray line = tf.readLine(); !line.isEmpty(); line = tf.readLine()) {
        entries.append(parseTransactionLine(std::move(line)));
    }
    tf.close();

    QList<QString> verified;
    for (const TransactionEntry& entry : std::as_const(entries)) {
        if (isOutsideDirectory(entry.name)) {
            logger->warn(QStringLiteral("  файл %1 будет пропущен, так как он находится за "
                                        "пределами директории синхронизации"),
                entry.name);
            continue;
        }
        QFile file;
        if (!openInsideDirectory(file, dir, entry.name, hashMode, &error)) {
            logger->warn(QStringLiteral("  ошибка чтения файла %1: %2"), entry.name, error);
            return Unexpected(CheckTransactionFileError::FileReadError);
        }
        if (hashDevice(file) != entry.checksum) {
            logger->error(
                QStringLiteral("  хеш сумма для файла %1 не совпадает с эталонной"), entry.name);
            return Unexpected(CheckTransactionFileError::HashMismatch);
        }
        verified.append(entry.name);
    }
    return verified;
}

} // namespace vesk::detail
