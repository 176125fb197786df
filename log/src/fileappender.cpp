#include <vesk/log/fileappender.h>

#include "pathwatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <limits>
#include <map>
#include <optional>

namespace vesk::log {

namespace {

using detail::deviceOf;
using detail::identify;

// Lines of our own between two takes of the file's size from the kernel, minus one: another
// process appending to the file is counted with every 102nd line.
constexpr int linesBetweenSizes = 100;

// The most that writeLine's buffer keeps once a long line is written.
constexpr qsizetype keptLineBuffer = 64 * 1024;

// What the appender's complaints add, so that whoever reads the journal knows where the lines
// went and that nothing more will be said until the file works again.
const QString whereLinesGo
    = QStringLiteral("; строки журнала пишутся в стандартный поток ошибок, пока файл недоступен");

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

// A line (line end included) longer than limit bytes, cut to at most limit bytes at a UTF-8
// character boundary, with the length it had:
//   limit 40, a line of 100 "x" and "\n" -> 18 "x", " [cut from 101 bytes]\n"
//   a limit too small for the note       -> the first limit - 1 bytes and "\n"
void cutToLimit(QByteArray& whole, qint64 limit)
{
    const QByteArray note = " [cut from " + QByteArray::number(whole.size()) + " bytes]\n";
    const bool noted = limit > note.size();
    qsizetype keep = qsizetype(noted ? limit - note.size() : limit - 1);
    while (keep > 0 && (static_cast<unsigned char>(whole.at(keep)) & 0xC0) == 0x80)
        --keep;
    whole.truncate(keep);
    whole.append(noted ? note : QByteArray("\n"));
}

void toStandardError(const QByteArray& whole)
{
    std::cerr.write(whole.constData(), whole.size());
    std::cerr.flush();
}

} // namespace

FileAppender::FileAppender(const QString& path, int maxFileSize, int maxFiles,
    std::chrono::milliseconds recheckAfter, int maxWatches)
    : m_path(path)
    , m_encodedPath(QFile::encodeName(path))
    , m_maxSize(clampedBytes(maxFileSize))
    , m_maxFiles(maxFiles)
    , m_recheckAfter(recheckAfter)
    , m_watch(std::make_unique<detail::PathWatch>(maxWatches))
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
    QMutexLocker lock(&m_mutex);
    append(line);
}

void FileAppender::writeLine(const QByteArray& line)
{
    // Line and line end in one write, so that the line lands in one piece even beside another
    // process appending to the same file.
    QMutexLocker lock(&m_mutex);
    m_lineBuffer.resize(line.size() + 1);
    char* whole = m_lineBuffer.data();
    std::memcpy(whole, line.constData(), size_t(line.size()));
    whole[line.size()] = '\n';
    append(m_lineBuffer);
    if (m_lineBuffer.capacity() > keptLineBuffer)
        m_lineBuffer = QByteArray();
}

void FileAppender::append(QByteArray& whole)
{
    if (m_failing && Clock::now() < m_retryAt) {
        toStandardError(whole);
        return;
    }
    if (m_descriptor >= 0)
        checkFile();
    if (m_maxSize > 0 && whole.size() > m_maxSize)
        cutToLimit(whole, m_maxSize);

    QString failure = m_descriptor < 0 ? open() : QString();
    if (failure.isEmpty()) {
        rotate(whole.size());
        if (m_descriptor < 0)
            failure = open();
    }
    if (failure.isEmpty())
        failure = write(whole);
    if (!failure.isEmpty()) {
        fallBack(failure, whole);
        return;
    }
    if (m_failing) {
        m_failing = false;
        fail(QStringLiteral("Журнал снова пишется в файл ") + m_path);
    }
}

void FileAppender::checkFile()
{
    if (m_watch->lookDue()) {
        checkPath();
        return;
    }
    if (++m_linesSinceSize > linesBetweenSizes)
        takeSize();
}

void FileAppender::takeSize()
{
    struct statx opened
    {
    };
    m_linesSinceSize = 0;
    if (identify(m_descriptor, "", AT_EMPTY_PATH, opened))
        m_size = qint64(opened.stx_size);
}

void FileAppender::checkPath()
{
    ++m_checks.looks;
    struct statx atPath
    {
    };
    if (!identify(AT_FDCWD, m_encodedPath.constData(), 0, atPath) || deviceOf(atPath) != m_device
        || atPath.stx_ino != m_inode) {
        // Removed, moved away or replaced (the file or a directory above it): the line goes to
        // the path.
        ++m_checks.reopened;
        close();
        return;
    }
    // Another writer may have appended too.
    m_linesSinceSize = 0;
    m_size = qint64(atPath.stx_size);
}

void FileAppender::watch()
{
    QString reason;
    if (m_watch->watch(m_encodedPath, m_device, m_inode, reason)
            == detail::PathWatch::Outcome::unavailable
        && !m_saidUnwatched) {
        m_saidUnwatched = true;
        fail(QStringLiteral("Не удаётся следить за файлом журнала ") + m_path + QStringLiteral(" (")
            + reason + QStringLiteral("); путь проверяется перед каждой строкой"));
    }
}

QString FileAppender::open()
{
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int descriptor = ::open(m_encodedPath.constData(), flags, 0666);
    if (descriptor < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        const QString dir = QFileInfo(m_path).absolutePath();
        if (!QDir().mkpath(dir))
            return QStringLiteral("Ошибка создания каталога ") + dir;
        descriptor = ::open(m_encodedPath.constData(), flags, 0666);
    }
    struct statx opened
    {
    };
    if (descriptor < 0 || !identify(descriptor, "", AT_EMPTY_PATH, opened)) {
        const int error = errno;
        if (descriptor >= 0)
            ::close(descriptor);
        return QStringLiteral("Невозможно открыть файл ") + m_path + QStringLiteral(". ")
            + qt_error_string(error);
    }
    struct statx standardError
    {
    };
    m_descriptor = descriptor;
    m_device = deviceOf(opened);
    m_inode = opened.stx_ino;
    m_size = qint64(opened.stx_size);
    m_isStandardError = identify(STDERR_FILENO, "", AT_EMPTY_PATH, standardError)
        && deviceOf(standardError) == m_device && standardError.stx_ino == m_inode;
    m_rotatable = S_ISREG(opened.stx_mode) && !m_isStandardError;
    m_linesSinceSize = 0;
    watch();
    return {};
}

QString FileAppender::write(const QByteArray& whole)
{
    const char* data = whole.constData();
    qsizetype left = whole.size();
    while (left > 0) {
        const ssize_t written = ::write(m_descriptor, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            // Half a line would run into the next one written after the disk has room again.
            if (left < whole.size() && ::ftruncate(m_descriptor, off_t(m_size)) != 0)
                m_size += whole.size() - left;
            return QStringLiteral("Невозможно записать в файл ") + m_path + QStringLiteral(". ")
                + qt_error_string(error);
        }
        data += written;
        left -= written;
    }
    m_size += whole.size();
    return {};
}

bool FileAppender::onStandardError() const
{
    QMutexLocker lock(&m_mutex);
    return m_failing || (m_descriptor >= 0 && m_isStandardError);
}

FileAppender::PathChecks FileAppender::pathChecks() const
{
    QMutexLocker lock(&m_mutex);
    PathChecks checks = m_checks;
    checks.watched = m_descriptor >= 0 && m_watch->watched();
    return checks;
}

void FileAppender::close()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

void FileAppender::fallBack(const QString& reason, const QByteArray& whole)
{
    if (!m_failing)
        fail(reason + whereLinesGo);
    m_failing = true;
    m_retryAt = Clock::now() + m_recheckAfter;
    toStandardError(whole);
}

void FileAppender::fail(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    std::cerr << "логгер: ";
    std::cerr.write(utf8.constData(), utf8.size());
    std::cerr << std::endl;
}

void FileAppender::rotate(qint64 incoming)
{
    // An empty file takes any line (one longer than the limit was cut to it), so that a limit of
    // 0 or less puts every line in a file of its own. Only a regular file of our own is rotated:
    // renaming "/dev/stderr" or a terminal would take it away from everyone.
    if (!m_rotatable || m_size == 0 || m_size + incoming <= m_maxSize)
        return;

    close();

    // Highest number first, the current file (0) last, so that each rename finds its target
    // already moved away. Failures are ignored: the file keeps growing and the next line tries
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
