#include <vesk/log/fileappender.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <limits>
#include <map>
#include <optional>

namespace vesk::log {

namespace {

// Lines handled between two size checks, minus one: the check runs on the 102nd line.
constexpr std::int32_t linesBetweenChecks = 100;

std::int32_t clampedBytes(int maxFileSize)
{
    const qint64 bytes = qint64(maxFileSize) * 1000;
    return std::int32_t(std::clamp<qint64>(
        bytes, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// The rotation number of an entry of the log file's directory, or nothing when the entry is not
// part of the rotation set. fileName is the log file's own name, e.g. "morlen-vesk.log":
//   "morlen-vesk.log"        -> 0
//   "morlen-vesk.log.1"      -> 1
//   "morlen-vesk.log.12"     -> 12
//   "morlen-vesk.log.0", "morlen-vesk.log.01", "morlen-vesk.log.1x", "morlen-vesk.log.",
//   "morlen-vesk.log.99999999999" (too large for int), "morlen-vesk.conf", "morlen-vesk.log.gz"
//                            -> nothing
std::optional<int> rotationNumber(const QString& entry, const QString& fileName)
{
    if (entry == fileName)
        return 0;
    if (!entry.startsWith(fileName) || entry.size() < fileName.size() + 2
        || entry.at(fileName.size()) != u'.')
        return std::nullopt;
    const QByteArray digits = entry.mid(fileName.size() + 1).toLatin1();
    if (digits.front() == '0')
        return std::nullopt;
    int number = 0;
    const char* end = digits.constData() + digits.size();
    const auto [stop, error] = std::from_chars(digits.constData(), end, number);
    if (error != std::errc() || stop != end || number <= 0)
        return std::nullopt;
    return number;
}

} // namespace

FileAppender::FileAppender(
    const QString& path, int maxFileSize, int maxFiles, std::chrono::milliseconds recheckAfter)
    : m_path(path)
    , m_encodedPath(QFile::encodeName(path))
    , m_maxSize(clampedBytes(maxFileSize))
    , m_maxFiles(maxFiles)
    , m_recheckAfter(recheckAfter)
{
}

FileAppender::~FileAppender()
{
    close();
}

void FileAppender::log(Level level, const QString& name, const QString& message)
{
    QByteArray line = formatUtf8(level, name, message);
    line.append('\n');
    append(line);
}

void FileAppender::writeLine(const QByteArray& line)
{
    // Line and line end in one write, so that the line lands in one piece even beside another
    // process appending to the same file.
    QByteArray whole;
    whole.reserve(line.size() + 1);
    whole.append(line).append('\n');
    append(whole);
}

void FileAppender::append(const QByteArray& whole)
{
    QMutexLocker lock(&m_mutex);

    const bool sizeCheckDue = m_lineCounter++ > linesBetweenChecks;
    if (m_descriptor >= 0) {
        const auto now = std::chrono::steady_clock::now();
        if (sizeCheckDue || now - m_lastCheck >= m_recheckAfter)
            recheckPath(now);
    }
    if (sizeCheckDue)
        rotate();
    if (m_descriptor < 0 && !open())
        return;

    // Write failures (a full disk) are ignored: reporting them would put a message on standard
    // error for every line.
    const char* data = whole.constData();
    qsizetype left = whole.size();
    while (left > 0) {
        const ssize_t written = ::write(m_descriptor, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        data += written;
        left -= written;
        m_size += written;
    }
}

void FileAppender::recheckPath(std::chrono::steady_clock::time_point now)
{
    m_lastCheck = now;
    struct stat atPath
    {
    };
    if (::stat(m_encodedPath.constData(), &atPath) != 0 || quint64(atPath.st_dev) != m_device
        || quint64(atPath.st_ino) != m_inode) {
        // Removed or moved away: the next line opens the path afresh.
        close();
        return;
    }
    // Another writer may have appended too.
    m_size = atPath.st_size;
}

bool FileAppender::open()
{
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int descriptor = ::open(m_encodedPath.constData(), flags, 0666);
    if (descriptor < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        const QString dir = QFileInfo(m_path).absolutePath();
        if (!QDir().mkpath(dir)) {
            fail(QStringLiteral("Ошибка создания каталога ") + dir);
            return false;
        }
        descriptor = ::open(m_encodedPath.constData(), flags, 0666);
    }
    struct stat opened
    {
    };
    if (descriptor < 0 || ::fstat(descriptor, &opened) != 0) {
        const int error = errno;
        if (descriptor >= 0)
            ::close(descriptor);
        fail(QStringLiteral("Невозможно открыть файл ") + m_path + QStringLiteral(". ")
            + qt_error_string(error));
        return false;
    }
    m_descriptor = descriptor;
    m_device = quint64(opened.st_dev);
    m_inode = quint64(opened.st_ino);
    m_size = opened.st_size;
    m_lastCheck = std::chrono::steady_clock::now();
    return true;
}

void FileAppender::close()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

void FileAppender::fail(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    std::cerr << "логгер: ";
    std::cerr.write(utf8.constData(), utf8.size());
    std::cerr << std::endl;
}

void FileAppender::rotate()
{
    m_lineCounter = 0;
    // The size of the open file was taken from the path just now; a closed file is looked up.
    qint64 size = m_size;
    if (m_descriptor < 0) {
        struct stat atPath
        {
        };
        size = ::stat(m_encodedPath.constData(), &atPath) == 0 ? atPath.st_size : 0;
    }
    if (size < m_maxSize)
        return;

    close();

    // Highest number first, the current file (0) last, so that each rename finds its target
    // already moved away. Failures are ignored: the file keeps growing and the next check tries
    // again.
    const QFileInfo info(m_path);
    const QString fileName = info.fileName();
    QDir dir = info.absoluteDir();
    std::map<int, QString, std::greater<>> set;
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& entry : entries) {
        if (const auto number = rotationNumber(entry, fileName))
            set.emplace(*number, entry);
    }
    for (const auto& [number, entry] : set) {
        if (number > qint64(m_maxFiles) - 2)
            dir.remove(entry);
        else
            dir.rename(entry, fileName + u'.' + QString::number(number + 1));
    }
}

} // namespace vesk::log
