#include <vesk/file/fileoperations.h>

#include <QRandomGenerator>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>

namespace vesk::file {

namespace fs = std::filesystem;

namespace {

// What a delivery's copies get, whatever the source had: no setuid, setgid or sticky bits ever
// reach a played directory.
constexpr unsigned int copiedFileMode = 0644;
constexpr unsigned int copiedDirectoryMode = 0755;
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for regular files.
constexpr int fileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

class FileErrorCategory : public std::error_category
{
public:
    const char* name() const noexcept override { return "vesk.file"; }
    std::string message(int value) const override
    {
        switch (FileError(value)) {
        case FileError::NotRegularFile:
            return "Not a regular file";
        case FileError::OutsideDirectory:
            return "Name leaves its directory";
        }
        return "Unknown error";
    }
};

std::error_code lastError()
{
    return { errno, std::generic_category() };
}

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error = errno)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The path a descriptor was opened by, for messages only.
fs::path pathOf(int fd)
{
    std::error_code ignored;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored);
}

// A name that openat takes as exactly one entry of the directory.
void requireSingleComponent(const std::string& name, const fs::path& path)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
        || name.find('\0') != std::string::npos)
        throwErrno("not a name in the directory", path, EINVAL);
}

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

// ".<name>.<random>": two writers never share a temporary name, and a stray one is hidden from
// listings (and removed by the next sync of a work directory, which lists no such name). A long
// name is cut so that the temporary one still fits NAME_MAX.
std::string temporaryName(const std::string& name)
{
    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static constexpr std::size_t randomLength = 8;
    std::string candidate = "." + name.substr(0, NAME_MAX - randomLength - 2) + ".";
    for (std::size_t i = 0; i < randomLength; ++i)
        candidate += digits[QRandomGenerator::global()->bounded(int(sizeof digits - 1))];
    return candidate;
}

Descriptor createTemporary(
    int dirFd, const std::string& name, std::string& tempName, const fs::path& path)
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
            throwErrno("cannot create temporary file", path);
    }
    throwErrno("cannot create temporary file", path, EEXIST);
}

// One entry below `parent`, never through a link. O_DIRECTORY reports a link as ENOTDIR; say
// what really stopped us.
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

// Opens the first `count` components below `root`, the last of them as `type`.
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

std::string joinComponents(const std::vector<std::string>& components, std::size_t count)
{
    std::string joined;
    for (std::size_t i = 0; i < count; ++i)
        joined += (i ? "/" : "") + components[i];
    return joined;
}

// The names in a directory, "." and ".." left out.
std::vector<std::string> entriesOf(int directory, const fs::path& path)
{
    const int fd = ::openat(directory, ".", directoryFlags);
    DIR* stream = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (stream == nullptr) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        throwErrno("cannot read directory", path, error);
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(stream);
    return names;
}

// Removes `name` from `parent`, a directory with everything in it; links are removed, never
// followed.
void removeTree(int parent, const std::string& name, const fs::path& path)
{
    struct stat info
    {
    };
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        throwErrno("cannot examine", path);
    if (S_ISDIR(info.st_mode)) {
        const Descriptor directory(openComponent(parent, name.c_str(), directoryFlags));
        if (!directory.isOpen())
            throwErrno("cannot open directory", path);
        for (const std::string& entry : entriesOf(directory.get(), path))
            removeTree(directory.get(), entry, path / entry);
    }
    if (::unlinkat(parent, name.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0)
        throwErrno("cannot remove", path);
}

// Below the target of a sync: what it changed, to be flushed before it returns.
struct Changes
{
    std::set<std::string> files;
    std::set<std::string> directories;
};

// The entries a sync keeps in its target: the listed files and the directories they lie in.
struct Wanted
{
    std::set<std::string> files;
    std::set<std::string> directories;
};

void removeUnwanted(int directory, const std::string& relative, const Wanted& wanted,
    Changes& changes, const fs::path& path)
{
    for (const std::string& name : entriesOf(directory, path)) {
        const std::string entry = relative.empty() ? name : relative + "/" + name;
        struct stat info
        {
        };
        if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            throwErrno("cannot examine", path / name);
        if (S_ISDIR(info.st_mode) && wanted.directories.count(entry) != 0) {
            const Descriptor subdirectory(openComponent(directory, name.c_str(), directoryFlags));
            if (!subdirectory.isOpen())
                throwErrno("cannot open directory", path / name);
            removeUnwanted(subdirectory.get(), entry, wanted, changes, path / name);
        } else if (!S_ISREG(info.st_mode) || wanted.files.count(entry) == 0) {
            removeTree(directory, name, path / name);
            changes.directories.insert(relative);
        }
    }
}

// The directory that holds the listed name in the target, made where missing.
Descriptor openTargetParent(
    int root, const std::vector<std::string>& components, Changes& changes, const fs::path& path)
{
    Descriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; current.isOpen() && i + 1 < components.size(); ++i) {
        const char* name = components[i].c_str();
        int fd = openComponent(current.get(), name, directoryFlags);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(current.get(), name, copiedDirectoryMode) != 0 && errno != EEXIST)
                throwErrno("cannot create directory", path);
            changes.directories.insert(joinComponents(components, i));
            fd = openComponent(current.get(), name, directoryFlags);
            // mkdir applies the umask.
            if (fd >= 0 && ::fchmod(fd, copiedDirectoryMode) != 0)
                throwErrno("cannot set mode", path);
        }
        current.reset(fd);
    }
    if (!current.isOpen())
        throwErrno("cannot open directory", path);
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

void copyFile(int source, int targetDir, const std::string& leaf, const fs::path& targetPath)
{
    struct stat info
    {
    };
    if (::fstat(source, &info) != 0)
        throwErrno("cannot examine", targetPath);
    std::string tempName;
    Descriptor target = createTemporary(targetDir, leaf, tempName, targetPath);
    TemporaryName cleanup(targetDir, tempName);
    copyContent(source, target.get(), info.st_size, targetPath);
    if (::fchmod(target.get(), copiedFileMode) != 0)
        throwErrno("cannot set mode", targetPath);
    // Writeback starts now, while the next file is copied; the flush at the end of the sync only
    // waits for what is left of it.
    ::sync_file_range(target.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (target.close() != 0)
        throwErrno("cannot close", targetPath);
    if (::renameat(targetDir, tempName.c_str(), targetDir, leaf.c_str()) != 0)
        throwErrno("cannot replace", targetPath);
    cleanup.commit();
}

// Puts a hard link to the shared file in place; false when that cannot be done (no such file
// there, another file system, too many links), so that the caller copies instead.
bool linkShared(int shared, int targetDir, const std::vector<std::string>& components)
{
    std::error_code error;
    const Descriptor sharedDir
        = openComponents(shared, components, components.size() - 1, EntryType::Directory, error);
    const std::string& leaf = components.back();
    struct stat source
    {
    }, existing {};
    if (!sharedDir.isOpen()
        || ::fstatat(sharedDir.get(), leaf.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(source.st_mode))
        return false;
    // A name that already is the shared file stays as it is: rename would do nothing and leave
    // the temporary name behind.
    if (::fstatat(targetDir, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0
        && existing.st_dev == source.st_dev && existing.st_ino == source.st_ino)
        return true;
    std::string tempName = temporaryName(leaf);
    if (::linkat(sharedDir.get(), leaf.c_str(), targetDir, tempName.c_str(), 0) != 0)
        return false;
    TemporaryName cleanup(targetDir, tempName);
    if (::renameat(targetDir, tempName.c_str(), targetDir, leaf.c_str()) != 0)
        return false;
    cleanup.commit();
    return true;
}

// Files first, so that a directory entry never reaches the disk before what it names.
void flush(int root, const Changes& changes, const fs::path& path)
{
    std::error_code error;
    const auto flushOne = [&](const std::string& name, EntryType type) {
        const Descriptor fd = openInside(root, name, type, error);
        if (!fd.isOpen())
            throw fs::filesystem_error("cannot flush", path / name, error);
        if (type == EntryType::Directory)
            fsyncDirectory(fd.get(), path / name);
        else if (::fsync(fd.get()) != 0)
            throwErrno("cannot flush", path / name);
    };
    for (const std::string& file : changes.files)
        flushOne(file, EntryType::RegularFile);
    for (const std::string& directory : changes.directories)
        flushOne(directory, EntryType::Directory);
}

bool usedInode(const struct stat& target)
{
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

// The content goes to a temporary file in the same directory, which is renamed over the target;
// `durable` flushes the file before the rename and the directory after it.
void writeReplacing(int directory, const std::string& name, const QByteArray& bytes,
    unsigned int mode, bool durable)
{
    const fs::path path = pathOf(directory) / name;
    requireSingleComponent(name, path);
    std::string tempName;
    Descriptor file = createTemporary(directory, name, tempName, path);
    TemporaryName cleanup(directory, tempName);
    if (::fchmod(file.get(), mode & 07777) != 0)
        throwErrno("cannot set mode", path);
    writeAll(file.get(), bytes.constData(), std::size_t(bytes.size()), path);
    if (durable && ::fsync(file.get()) != 0)
        throwErrno("cannot flush", path);
    if (file.close() != 0)
        throwErrno("cannot close", path);
    // Up to here a crash leaves the old file untouched; rename swaps in the new one atomically.
    if (::renameat(directory, tempName.c_str(), directory, name.c_str()) != 0)
        throwErrno("cannot replace", path);
    cleanup.commit();
    if (durable)
        fsyncDirectory(directory, path.parent_path());
}

} // namespace

std::error_code make_error_code(FileError error)
{
    static const FileErrorCategory category;
    return { int(error), category };
}

std::optional<std::vector<std::string>> componentsInside(std::string_view name)
{
    if (name.starts_with('/') || name.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string> components;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view component = name.substr(start, slash - start);
        if (component == "..")
            return std::nullopt;
        if (!component.empty() && component != ".")
            components.emplace_back(component);
        start = slash + 1;
    }
    return components;
}

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

void createDirectory(const fs::path& path, unsigned int mode)
{
    fs::path normal = path.lexically_normal();
    if (!normal.has_filename())
        normal = normal.parent_path();
    const fs::path parent = normal.parent_path();
    if (!parent.empty())
        fs::create_directories(parent);
    createDirectory(
        openDirectory(parent.empty() ? "." : parent).get(), normal.filename().string(), mode);
}

Descriptor createDirectory(int parent, const std::string& name, unsigned int mode)
{
    const fs::path path = pathOf(parent) / name;
    requireSingleComponent(name, path);
    if (::mkdirat(parent, name.c_str(), mode & 07777) != 0 && errno != EEXIST)
        throwErrno("cannot create directory", path);
    Descriptor directory(openComponent(parent, name.c_str(), directoryFlags));
    if (!directory.isOpen())
        throwErrno("cannot create directory", path);
    // mkdir applies the umask, and an existing directory keeps whatever it had.
    if (::fchmod(directory.get(), mode & 07777) != 0)
        throwErrno("cannot set mode", path);
    return directory;
}

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
    writeReplacing(directory, name, bytes, mode, true);
}

void replaceFile(int directory, const std::string& name, const QByteArray& bytes, unsigned int mode)
{
    writeReplacing(directory, name, bytes, mode, false);
}

void replaceLink(int directory, const std::string& name, const std::string& target)
{
    const fs::path path = pathOf(directory) / name;
    requireSingleComponent(name, path);
    const std::string temporary = name + ".swap";
    ::unlinkat(directory, temporary.c_str(), 0);
    if (::symlinkat(target.c_str(), directory, temporary.c_str()) != 0)
        throwErrno("cannot create link", path);
    if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(directory, temporary.c_str(), 0);
        throwErrno("cannot replace link", path, error);
    }
    fsyncDirectory(directory, path.parent_path());
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
    return readAll(file.get(), std::numeric_limits<qint64>::max());
}

QByteArray readAll(int file, qint64 limit)
{
    QByteArray content;
    char buffer[65536];
    while (true) {
        // The size is not asked: files in /proc report 0, and a file may change while we read.
        const ssize_t got = ::pread(file, buffer, sizeof buffer, off_t(content.size()));
        if (got == 0)
            return content;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot read", pathOf(file));
        }
        if (content.size() + got > limit)
            throwErrno("cannot read", pathOf(file), EFBIG);
        content.append(buffer, got);
    }
}

bool used(const fs::path& path)
{
    struct stat target
    {
    };
    return ::stat(path.c_str(), &target) == 0 && usedInode(target);
}

bool used(int file)
{
    struct stat target
    {
    };
    return ::fstat(file, &target) == 0 && usedInode(target);
}

bool changeAttributes(const fs::path& path, QFlags<FileAttribute> set, QFlags<FileAttribute> clear)
{
    const Descriptor file(::open(path.c_str(), fileFlags));
    return file.isOpen() && changeAttributes(file.get(), set, clear);
}

bool changeAttributes(int file, QFlags<FileAttribute> set, QFlags<FileAttribute> clear)
{
    // The kernel reads and writes an int here, whatever the ioctl's declared type says.
    int flags = 0;
    if (::ioctl(file, FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    int wanted = (flags | int(set.toInt())) & ~int(clear.toInt());
    if (wanted == flags)
        return true;
    return ::ioctl(file, FS_IOC_SETFLAGS, &wanted) == 0;
}

bool sync(int first, int second, const QList<QString>& names, const SharedFiles& shared,
    const std::function<bool()>& verify)
{
    std::vector<std::vector<std::string>> split;
    Wanted wanted;
    for (const QString& name : names) {
        const std::string text = name.toStdString();
        auto components = componentsInside(text);
        if (!components)
            throw std::invalid_argument("file name leaves its directory: " + text);
        if (components->empty())
            throw std::invalid_argument("file name without a file: " + text);
        for (std::size_t i = 1; i < components->size(); ++i)
            wanted.directories.insert(joinComponents(*components, i));
        wanted.files.insert(joinComponents(*components, components->size()));
        split.push_back(std::move(*components));
    }
    for (const std::string& file : wanted.files) {
        if (wanted.directories.count(file) != 0)
            throw std::invalid_argument("file name is also a directory: " + file);
    }

    const fs::path firstPath = pathOf(first);
    const fs::path secondPath = pathOf(second);
    Changes changes;
    // Before the copies, so that an entry of the wrong type never stands in a copy's way.
    removeUnwanted(first, {}, wanted, changes, firstPath);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const std::vector<std::string>& components = split[std::size_t(i)];
        const std::string relative = joinComponents(components, components.size());
        const Descriptor targetDir
            = openTargetParent(first, components, changes, firstPath / relative);
        changes.directories.insert(joinComponents(components, components.size() - 1));
        if (shared.directory >= 0 && shared.names.contains(names[i])
            && linkShared(shared.directory, targetDir.get(), components))
            continue;
        std::error_code error;
        const Descriptor source = openInside(second, relative, EntryType::RegularFile, error);
        if (!source.isOpen())
            throw fs::filesystem_error("cannot open", secondPath / relative, error);
        copyFile(source.get(), targetDir.get(), components.back(), firstPath / relative);
        changes.files.insert(relative);
    }
    if (verify && !verify())
        return false;
    flush(first, changes, firstPath);
    return true;
}

void sync(const fs::path& first, const fs::path& second, const QList<QString>& names)
{
    sync(openDirectory(first).get(), openDirectory(second).get(), names);
}

} // namespace vesk::file
