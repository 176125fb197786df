#include "homedirectory.h"

#include <vesk/core.h>

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace vesk::detail {

namespace fs = std::filesystem;

fs::path toPath(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return fs::path(std::string(bytes.constData(), std::size_t(bytes.size())));
}

HomeDirectory::HomeDirectory(const Core& core)
    : m_path(core.homePath())
    , m_link(QDir(core.homePath()).relativeFilePath(core.workPathClean()).toStdString())
    , m_home(file::openDirectory(toPath(m_path)))
{
}

std::vector<std::string> HomeDirectory::componentsOf(
    const QString& path, std::error_code& error) const
{
    auto components = file::componentsInside(QDir(m_path).relativeFilePath(path).toStdString());
    if (!components) {
        error = file::make_error_code(file::FileError::OutsideDirectory);
        return {};
    }
    if (components->empty() || components->front() != m_link)
        return *components;
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(m_home.get(), m_link.c_str(), target, sizeof target);
    if (length < 0) {
        // Not a link: a directory of that name is walked like any other.
        if (errno != EINVAL)
            error = std::error_code(errno, std::generic_category());
        return error ? std::vector<std::string>() : *components;
    }
    const QString text = QFile::decodeName(QByteArray(target, qsizetype(length)));
    auto resolved = file::componentsInside(QDir(m_path).relativeFilePath(text).toStdString());
    if (!resolved || resolved->empty()) {
        error = file::make_error_code(file::FileError::OutsideDirectory);
        return {};
    }
    resolved->insert(resolved->end(), components->begin() + 1, components->end());
    return *resolved;
}

file::Descriptor HomeDirectory::open(
    const QString& path, file::EntryType type, std::error_code& error) const
{
    error.clear();
    const std::vector<std::string> components = componentsOf(path, error);
    if (error)
        return {};
    std::string relative;
    for (const std::string& component : components)
        relative += (relative.empty() ? "" : "/") + component;
    return file::openInside(m_home.get(), relative, type, error);
}

QByteArray HomeDirectory::readSmallFile(const QString& path, qint64 limit) const
{
    std::error_code error;
    const file::Descriptor file = open(path, file::EntryType::RegularFile, error);
    if (!file.isOpen())
        return {};
    try {
        return file::readAll(file.get(), limit);
    } catch (const std::system_error&) {
        return {};
    }
}

std::pair<file::Descriptor, std::string> HomeDirectory::parentOf(const QString& path) const
{
    const QString parent = QFileInfo(path).path();
    const std::string name = QFileInfo(path).fileName().toStdString();
    std::error_code error;
    file::Descriptor directory = open(parent, file::EntryType::Directory, error);
    if (!directory.isOpen())
        throw fs::filesystem_error("cannot open directory", toPath(parent), error);
    return { std::move(directory), name };
}

bool HomeDirectory::openFile(
    const Core& core, const QString& path, QFile& file, QIODevice::OpenMode mode, QString* error)
{
    std::error_code code;
    file::Descriptor fd;
    try {
        fd = HomeDirectory(core).open(path, file::EntryType::RegularFile, code);
    } catch (const std::system_error& e) {
        code = e.code();
    }
    if (!fd.isOpen()) {
        *error = QString::fromStdString(code.message());
        return false;
    }
    if (!file.open(fd.get(), mode, QFileDevice::AutoCloseHandle)) {
        *error = file.errorString();
        return false;
    }
    fd.release();
    return true;
}

} // namespace vesk::detail
