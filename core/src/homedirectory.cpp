#include "homedirectory.h"

#include <vesk/core.h>

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

namespace vesk::detail {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const QString& path, std::error_code error)
{
    throw fs::filesystem_error(what, toPath(path), error);
}

[[noreturn]] void failErrno(const char* what, const QString& path)
{
    fail(what, path, std::error_code(errno, std::generic_category()));
}

} // namespace

fs::path toPath(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return fs::path(std::string(bytes.constData(), std::size_t(bytes.size())));
}

PlayedDirectory::PlayedDirectory(QString path, file::Descriptor directory)
    : m_path(std::move(path))
    , m_directory(std::move(directory))
{
}

file::Descriptor PlayedDirectory::duplicate() const
{
    file::Descriptor copy(::fcntl(m_directory.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.isOpen())
        failErrno("cannot duplicate", m_path);
    return copy;
}

QByteArray PlayedDirectory::readFile(const std::string& name, qint64 limit) const
{
    std::error_code error;
    const file::Descriptor file
        = file::openInside(m_directory.get(), name, file::EntryType::RegularFile, error);
    if (!file.isOpen())
        fail("cannot open", m_path + u'/' + QString::fromStdString(name), error);
    return file::readAll(file.get(), limit);
}

bool PlayedDirectory::isSame(int directory) const
{
    struct stat mine = {}, other = {};
    return ::fstat(m_directory.get(), &mine) == 0 && ::fstat(directory, &other) == 0
        && mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

HomeDirectory::HomeDirectory(const Core& core)
    : m_path(core.homePath())
    , m_link(QDir(core.homePath()).relativeFilePath(core.workPathClean()).toStdString())
    , m_workA(core.workPathA())
    , m_workB(core.workPathB())
    , m_home(file::openDirectory(toPath(m_path)))
{
}

std::vector<std::string> HomeDirectory::componentsOf(const QString& path) const
{
    auto components = file::componentsInside(QDir(m_path).relativeFilePath(path).toStdString());
    if (!components)
        fail("not in the home", path, file::make_error_code(file::FileError::OutsideDirectory));
    return *components;
}

file::Descriptor HomeDirectory::open(const QString& path, file::EntryType type) const
{
    std::string relative;
    for (const std::string& component : componentsOf(path))
        relative += (relative.empty() ? "" : "/") + component;
    std::error_code error;
    file::Descriptor entry = file::openInside(m_home.get(), relative, type, error);
    if (!entry.isOpen())
        fail("cannot open", path, error);
    return entry;
}

QByteArray HomeDirectory::readFile(const QString& path, qint64 limit) const
{
    return file::readAll(open(path, file::EntryType::RegularFile).get(), limit);
}

std::pair<file::Descriptor, std::string> HomeDirectory::parentOf(const QString& path) const
{
    return { open(QFileInfo(path).path(), file::EntryType::Directory),
        QFileInfo(path).fileName().toStdString() };
}

QString HomeDirectory::playedPath() const
{
    const QString link = QDir(m_path).filePath(QString::fromStdString(m_link));
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(m_home.get(), m_link.c_str(), target, sizeof target);
    if (length < 0)
        failErrno("cannot read link", link);
    // "work_dir_b", "./work_dir_b" and the absolute path all name work directory B.
    const fs::path named = fs::path(std::string(target, std::size_t(length)));
    const fs::path resolved
        = (named.is_absolute() ? named : toPath(m_path) / named).lexically_normal();
    for (const QString& work : { m_workA, m_workB }) {
        if (resolved == toPath(work).lexically_normal())
            return work;
    }
    fail("not a work directory", link, file::make_error_code(file::FileError::OutsideDirectory));
}

PlayedDirectory HomeDirectory::played() const
{
    QString path = playedPath();
    file::Descriptor directory = open(path, file::EntryType::Directory);
    return PlayedDirectory(std::move(path), std::move(directory));
}

QString HomeDirectory::dirtyPath(const QString& played) const
{
    return played == m_workB ? m_workA : m_workB;
}

void HomeDirectory::switchLink(const QString& work) const
{
    const auto [directory, name] = parentOf(QDir(m_path).filePath(QString::fromStdString(m_link)));
    file::replaceLink(directory.get(), name, QFileInfo(work).fileName().toStdString());
}

} // namespace vesk::detail
