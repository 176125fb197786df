#include "openinside.h"

#include "fileerrors.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vesk::file {

namespace fs = std::filesystem;

namespace detail {

int openComponent(int parent, const char* name, int flags)
{
    const int fd = ::openat(parent, name, flags);
    if (fd < 0 && errno == ENOTDIR) {
        struct stat info
        {
        };
        const bool link
            = ::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
        errno = link ? ELOOP : ENOTDIR;
    }
    return fd;
}

namespace {

std::error_code typeError(int fd, EntryType type)
{
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
        return lastError();
    if (type == EntryType::Directory)
        return S_ISDIR(info.st_mode) ? std::error_code()
                                     : std::make_error_code(std::errc::not_a_directory);
    if (S_ISDIR(info.st_mode))
        return std::make_error_code(std::errc::is_a_directory);
    return S_ISREG(info.st_mode) ? std::error_code() : make_error_code(FileError::NotRegularFile);
}

} // namespace

Descriptor openComponents(int root, const std::vector<std::string>& components, std::size_t count,
    EntryType type, std::error_code& error)
{
    Descriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; current.isOpen() && i < count; ++i) {
        const bool last = i + 1 == count;
        current.reset(openComponent(current.get(), components[i].c_str(),
            last && type == EntryType::RegularFile ? fileFlags : directoryFlags));
    }
    error = current.isOpen() ? typeError(current.get(), type) : lastError();
    return error ? Descriptor() : std::move(current);
}

} // namespace detail

using namespace detail;

Descriptor openInside(int directory, std::string_view name, EntryType type, std::error_code& error)
{
    const auto components = componentsInside(name);
    if (!components) {
        error = make_error_code(FileError::OutsideDirectory);
        return {};
    }
    return openComponents(directory, *components, components->size(), type, error);
}

Descriptor openDirectory(const fs::path& path)
{
    Descriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isOpen())
        throwErrno("cannot open directory", path);
    return dir;
}

} // namespace vesk::file
