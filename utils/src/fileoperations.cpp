#include <vesk/file/fileoperations.h>

#include <QRandomGenerator>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vesk::file {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error = errno)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Owns one file descriptor.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) noexcept
        : m_fd(fd)
    {
    }
    Descriptor(Descriptor&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    int get() const noexcept { return m_fd; }
    bool isOpen() const noexcept { return m_fd >= 0; }
    // Closes now, so that a failing close (the last chance for some file systems to report a
    // write error) is seen.
    int close() noexcept { return ::close(std::exchange(m_fd, -1)); }

private:
    int m_fd;
};

// Removes a temporary file unless it was renamed into place.
class TemporaryName
{
public:
    TemporaryName(int dirFd, std::string name)
        : m_dirFd(dirFd)
        , m_name(std::move(name))
    {
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    ~TemporaryName()
    {
        if (!m_committed)
            ::unlinkat(m_dirFd, m_name.c_str(), 0);
    }
    const std::string& name() const noexcept { return m_name; }
    void commit() noexcept { m_committed = true; }

private:
    int m_dirFd;
    std::string m_name;
    bool m_committed = false;
};

void writeAll(int fd, const char* data, std::size_t size, const fs::path& path)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot write", path);
        }
        data += written;
        size -= std::size_t(written);
    }
}

void fsyncDirectory(int dirFd, const fs::path& path)
{
    // Some file systems cannot flush a directory; the rename is then as durable as they
    // make it.
    if (::fsync(dirFd) != 0 && errno != EINVAL && errno != EROFS)
        throwErrno("cannot flush directory", path);
}

// ".<name>.<random>", created exclusively in the directory, so that two writers never share a
// temporary file and a stray one is hidden from listings.
Descriptor createTemporary(
    int dirFd, const std::string& name, std::string& tempName, const fs::path& path)
{
    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = "." + name + ".";
        for (int i = 0; i < 8; ++i)
            candidate += digits[QRandomGenerator::global()->bounded(int(sizeof digits - 1))];
        const int fd
            = ::openat(dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            tempName = std::move(candidate);
            return Descriptor(fd);
        }
        if (errno != EEXIST)
            throwErrno("cannot create temporary file", path);
    }
    throwErrno("cannot create temporary file", path, EEXIST);
}

// A relative name split into its components, "." dropped. Anything that could leave the base
// directory is refused.
std::vector<std::string> splitRelativeName(const QString& name)
{
    const std::string text = name.toStdString();
    if (text.empty())
        throw std::invalid_argument("empty file name");
    if (text.front() == '/')
        throw std::invalid_argument("absolute file name: " + text);
    if (text.find('\0') != std::string::npos)
        throw std::invalid_argument("file name with a NUL byte");
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        std::string component = text.substr(start, end - start);
        if (component == "..")
            throw std::invalid_argument("file name leaves its directory: " + text);
        if (!component.empty() && component != ".")
            components.push_back(std::move(component));
        start = end + 1;
    }
    if (components.empty())
        throw std::invalid_argument("file name without a file: " + text);
    return components;
}

std::string joinComponents(const std::vector<std::string>& components)
{
    std::string joined;
    for (const std::string& component : components) {
        if (!joined.empty())
            joined += '/';
        joined += component;
    }
    return joined;
}

Descriptor openDirectory(const fs::path& path)
{
    Descriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isOpen())
        throwErrno("cannot open directory", path);
    return dir;
}

// Opens the directory `name` below `parent` without following a symbolic link. With
// `create`, a missing directory is made and a symbolic link in the way is replaced by one.
Descriptor openSubdirectory(int parent, const std::string& name, bool create, const fs::path& path)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent, name.c_str(), flags);
    if (fd < 0 && create) {
        struct stat info
        {
        };
        if (errno == ENOENT) {
            if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST)
                throwErrno("cannot create directory", path);
        } else if ((errno == ELOOP || errno == ENOTDIR)
            && ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(info.st_mode)) {
            if (::unlinkat(parent, name.c_str(), 0) != 0
                || ::mkdirat(parent, name.c_str(), 0755) != 0)
                throwErrno("cannot replace symbolic link by directory", path);
        } else {
            throwErrno("cannot open directory", path);
        }
        fd = ::openat(parent, name.c_str(), flags);
    }
    if (fd < 0)
        throwErrno("cannot open directory", path);
    return Descriptor(fd);
}

Descriptor openParent(
    int root, const std::vector<std::string>& components, bool create, const fs::path& path)
{
    Descriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!current.isOpen())
        throwErrno("cannot open directory", path);
    for (std::size_t i = 0; i + 1 < components.size(); ++i)
        current = openSubdirectory(current.get(), components[i], create, path);
    return current;
}

void copyContent(int from, int to, off_t size, const fs::path& path)
{
    bool kernelCopy = true;
    off_t done = 0;
    while (kernelCopy && done < size) {
        const ssize_t copied
            = ::copy_file_range(from, nullptr, to, nullptr, std::size_t(size - done), 0);
        if (copied > 0) {
            done += copied;
        } else if (copied == 0) {
            break;
        } else if (errno == EINTR) {
            continue;
        } else if (done == 0
            && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP
                || errno == EPERM)) {
            // File systems or kernels without it: copy through our own buffer instead.
            kernelCopy = false;
        } else {
            throwErrno("cannot copy", path);
        }
    }
    if (kernelCopy) {
        // A source that grew since fstat is copied to its end as well.
        while (true) {
            const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, 1 << 20, 0);
            if (copied > 0)
                continue;
            if (copied == 0)
                return;
            if (errno != EINTR)
                throwErrno("cannot copy", path);
        }
    }
    std::vector<char> buffer(1 << 20);
    while (true) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got == 0)
            return;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot read", path);
        }
        writeAll(to, buffer.data(), std::size_t(got), path);
    }
}

void copyOne(int firstRoot, int secondRoot, const std::vector<std::string>& components,
    const fs::path& first, const fs::path& second)
{
    const std::string relative = joinComponents(components);
    const fs::path sourcePath = second / relative;
    const fs::path targetPath = first / relative;
    const std::string& leaf = components.back();

    const Descriptor sourceDir = openParent(secondRoot, components, false, sourcePath);
    const Descriptor source(
        ::openat(sourceDir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!source.isOpen())
        throwErrno("cannot open", sourcePath);
    struct stat info
    {
    };
    if (::fstat(source.get(), &info) != 0)
        throwErrno("cannot examine", sourcePath);
    if (!S_ISREG(info.st_mode))
        throwErrno("not a regular file", sourcePath, EINVAL);

    const Descriptor targetDir = openParent(firstRoot, components, true, targetPath);
    std::string tempName;
    Descriptor target = createTemporary(targetDir.get(), leaf, tempName, targetPath);
    TemporaryName cleanup(targetDir.get(), tempName);
    copyContent(source.get(), target.get(), info.st_size, targetPath);
    if (::fchmod(target.get(), info.st_mode & 07777) != 0)
        throwErrno("cannot set mode", targetPath);
    if (::fsync(target.get()) != 0)
        throwErrno("cannot flush", targetPath);
    if (target.close() != 0)
        throwErrno("cannot close", targetPath);
    if (::renameat(targetDir.get(), tempName.c_str(), targetDir.get(), leaf.c_str()) != 0)
        throwErrno("cannot replace", targetPath);
    cleanup.commit();
    fsyncDirectory(targetDir.get(), targetPath.parent_path());
}

// Removes from `first` every entry that is not a directory and not listed, then the
// directories that this left empty. Symbolic links are removed, never followed.
void removeUnlisted(const fs::path& first, const std::set<std::string>& listed)
{
    std::vector<fs::path> directories;
    for (auto it = fs::recursive_directory_iterator(first);
         it != fs::recursive_directory_iterator(); ++it) {
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status)) {
            directories.push_back(it->path());
            continue;
        }
        const std::string relative = it->path().lexically_relative(first).generic_string();
        if (listed.count(relative) == 0)
            fs::remove(it->path());
    }
    // Deepest first, so a parent sees its children gone.
    std::sort(directories.begin(), directories.end(),
        [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    for (const fs::path& directory : directories) {
        if (::rmdir(directory.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST)
            throwErrno("cannot remove directory", directory);
    }
}

} // namespace

void createDirectory(const fs::path& path, unsigned int mode)
{
    const fs::path parent = path.parent_path();
    if (!parent.empty())
        fs::create_directories(parent);
    if (::mkdir(path.c_str(), mode & 07777) != 0) {
        if (errno != EEXIST)
            throwErrno("cannot create directory", path);
        if (!fs::is_directory(path))
            throwErrno("cannot create directory", path, ENOTDIR);
    }
    // mkdir applies the umask, and an existing directory keeps whatever it had.
    if (::chmod(path.c_str(), mode & 07777) != 0)
        throwErrno("cannot set mode", path);
}

void save2file(const fs::path& path, const QByteArray& bytes, unsigned int mode)
{
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..")
        throwErrno("cannot save", path, EISDIR);
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const Descriptor dir = openDirectory(parent);

    std::string tempName;
    Descriptor file = createTemporary(dir.get(), name, tempName, path);
    TemporaryName cleanup(dir.get(), tempName);
    if (::fchmod(file.get(), mode & 07777) != 0)
        throwErrno("cannot set mode", path);
    writeAll(file.get(), bytes.constData(), std::size_t(bytes.size()), path);
    if (::fsync(file.get()) != 0)
        throwErrno("cannot flush", path);
    if (file.close() != 0)
        throwErrno("cannot close", path);
    // Up to here a crash leaves the old file untouched; rename swaps in the new one atomically.
    if (::renameat(dir.get(), tempName.c_str(), dir.get(), name.c_str()) != 0)
        throwErrno("cannot replace", path);
    cleanup.commit();
    fsyncDirectory(dir.get(), parent);
}

QByteArray readFile(const fs::path& path, bool missingOk)
{
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.isOpen()) {
        if (errno == ENOENT && missingOk)
            return {};
        throwErrno("cannot open", path);
    }
    struct stat info
    {
    };
    if (::fstat(file.get(), &info) != 0)
        throwErrno("cannot examine", path);
    if (S_ISDIR(info.st_mode))
        throwErrno("cannot read", path, EISDIR);

    QByteArray content;
    // The size is a hint only: files in /proc report 0, and a file may change while we read.
    content.reserve(qsizetype(info.st_size) + 1);
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0)
            return content;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot read", path);
        }
        content.append(buffer, got);
    }
}

bool used(const fs::path& path)
{
    struct stat target
    {
    };
    if (::stat(path.c_str(), &target) != 0)
        return false;
    const Descriptor proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.isOpen())
        return false;
    DIR* processes = ::fdopendir(::fcntl(proc.get(), F_DUPFD_CLOEXEC, 0));
    if (processes == nullptr)
        return false;
    const pid_t self = ::getpid();
    bool found = false;
    while (!found) {
        const dirent* process = ::readdir(processes);
        if (process == nullptr)
            break;
        const std::string_view name(process->d_name);
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error != std::errc() || end != name.data() + name.size() || pid == self)
            continue;
        // Processes come and go while we look, and some hide their descriptors: skip those.
        const int fdDir = ::openat(
            proc.get(), (std::string(name) + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0)
            continue;
        DIR* descriptors = ::fdopendir(fdDir);
        if (descriptors == nullptr) {
            ::close(fdDir);
            continue;
        }
        while (const dirent* entry = ::readdir(descriptors)) {
            if (entry->d_name[0] == '.')
                continue;
            struct stat info
            {
            };
            // The entry is a link to the open file; stat follows it to that file's inode.
            if (::fstatat(fdDir, entry->d_name, &info, 0) == 0 && info.st_dev == target.st_dev
                && info.st_ino == target.st_ino) {
                found = true;
                break;
            }
        }
        ::closedir(descriptors);
    }
    ::closedir(processes);
    return found;
}

bool changeAttributes(const fs::path& path, QFlags<FileAttribute> set, QFlags<FileAttribute> clear)
{
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.isOpen())
        return false;
    // The kernel reads and writes an int here, whatever the ioctl's declared type says.
    int flags = 0;
    if (::ioctl(file.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    int wanted = (flags | int(set.toInt())) & ~int(clear.toInt());
    if (wanted == flags)
        return true;
    return ::ioctl(file.get(), FS_IOC_SETFLAGS, &wanted) == 0;
}

void sync(const fs::path& first, const fs::path& second, const QList<QString>& names)
{
    std::vector<std::vector<std::string>> split;
    std::set<std::string> listed;
    split.reserve(std::size_t(names.size()));
    for (const QString& name : names) {
        split.push_back(splitRelativeName(name));
        listed.insert(joinComponents(split.back()));
    }

    const Descriptor firstRoot = openDirectory(first);
    const Descriptor secondRoot = openDirectory(second);
    for (const std::vector<std::string>& components : split)
        copyOne(firstRoot.get(), secondRoot.get(), components, first, second);
    removeUnlisted(first, listed);
}

} // namespace vesk::file
