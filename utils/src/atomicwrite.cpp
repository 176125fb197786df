#include "atomicwrite.h"

#include "filenames.h"

#include <vesk/file/fileoperations.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::file {

namespace fs = std::filesystem;

namespace detail {

TemporaryName::~TemporaryName()
{
    if (!m_committed)
        ::unlinkat(m_dirFd, m_name.c_str(), 0);
}

Descriptor createTemporary(
    int dirFd, const std::string& name, std::string& tempName, const Where& where)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = temporaryName(name);
        const int fd
            = ::openat(dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            tempName = std::move(candidate);
            return Descriptor(fd);
        }
        if (errno != EEXIST)
            throwErrno("cannot create temporary file", where);
    }
    throwErrno("cannot create temporary file", where, EEXIST);
}

void writeAll(int fd, const char* data, std::size_t size, const Where& where)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot write", where);
        }
        data += written;
        size -= std::size_t(written);
    }
}

void fsyncDirectory(int dirFd, const Where& where)
{
    if (::fsync(dirFd) != 0 && errno != EINVAL && errno != EROFS)
        throwErrno("cannot flush directory", where);
}

} // namespace detail

using namespace detail;

void save2file(const fs::path& path, const QByteArray& bytes, unsigned int mode)
{
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..")
        throwErrno("cannot save", path, EISDIR);
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    save2file(openDirectory(parent).get(), name, bytes, mode);
}

void save2file(int directory, const std::string& name, const QByteArray& bytes, unsigned int mode)
{
    const Where where(directory, name);
    requireSingleComponent(name, where);
    std::string tempName;
    Descriptor file = createTemporary(directory, name, tempName, where);
    TemporaryName cleanup(directory, tempName);
    if (::fchmod(file.get(), mode & 07777) != 0)
        throwErrno("cannot set mode", where);
    writeAll(file.get(), bytes.constData(), std::size_t(bytes.size()), where);
    if (::fsync(file.get()) != 0)
        throwErrno("cannot flush", where);
    if (file.close() != 0)
        throwErrno("cannot close", where);
    // Up to here a crash leaves the old file untouched; rename swaps in the new one atomically.
    if (::renameat(directory, tempName.c_str(), directory, name.c_str()) != 0)
        throwErrno("cannot replace", where);
    cleanup.commit();
    fsyncDirectory(directory, Where(directory, {}));
}

} // namespace vesk::file
