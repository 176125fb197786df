#include <vesk/log/fileappender.h>

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

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

FileAppender::FileAppender(const QString& path, int maxFileSize, int maxFiles)
    : m_file(path)
    , m_maxSize(clampedBytes(maxFileSize))
    , m_maxFiles(maxFiles)
{
}

FileAppender::~FileAppender()
{
    m_file.close();
}

void FileAppender::log(Level level, const QString& name, const QString& message)
{
    writeLine(format(level, name, message).toUtf8());
}

void FileAppender::writeLine(const QByteArray& line)
{
    QMutexLocker lock(&m_mutex);

    if (!QFile::exists(m_file.fileName())) {
        // Someone removed or moved the file: drop our handle so that the path is opened afresh.
        m_file.close();
        const QString dir = QFileInfo(m_file.fileName()).absolutePath();
        if (!QDir().mkpath(dir)) {
            fail(QStringLiteral("Ошибка создания каталога ") + dir);
            return;
        }
    }

    if (m_lineCounter++ > linesBetweenChecks)
        rotate();

    if (!m_file.isOpen()
        && !m_file.open(
            QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered)) {
        fail(QStringLiteral("Невозможно открыть файл ") + m_file.fileName() + QStringLiteral(". ")
            + m_file.errorString());
        return;
    }

    // Line and line end in one write, so that the line lands in one piece even beside another
    // process appending to the same file. Write and flush failures (a full disk) are ignored:
    // reporting them would put a message on standard error for every line.
    QByteArray whole;
    whole.reserve(line.size() + 1);
    whole.append(line).append('\n');
    m_file.write(whole);
    m_file.flush();
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
    const QFileInfo info(m_file.fileName());
    m_lineCounter = 0;
    if (info.size() < m_maxSize)
        return;

    m_file.close();

    // Highest number first, the current file (0) last, so that each rename finds its target
    // already moved away. Failures are ignored: the file keeps growing and the next check tries
    // again.
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
