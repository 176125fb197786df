#include "atomicwrite.h"
#include "fileerrors.h"
#include "filenames.h"
#include "openinside.h"

#include <vesk/file/fileoperations.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

namespace vesk::file {

namespace fs = std::filesystem;

using namespace detail;

namespace {

// What a delivery's copies get, whatever the source had: no setuid, setgid or sticky bits ever
// reach a played directory.
constexpr unsigned int copiedFileMode = 0644;
constexpr unsigned int copiedDirectoryMode = 0755;

// The names in a directory, "." and ".." left out.
std::vector<std::string> entriesOf(int directory, const Where& where)
{
    const int fd = ::openat(directory, ".", directoryFlags);
    DIR* stream = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (stream == nullptr) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        throwErrno("cannot read directory", where, error);
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
void removeTree(int parent, const std::string& name, const Where& where)
{
    struct stat info
    {
    };
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        throwErrno("cannot examine", where);
    if (S_ISDIR(info.st_mode)) {
        const Descriptor directory(openComponent(parent, name.c_str(), directoryFlags));
        if (!directory.isOpen())
            throwErrno("cannot open directory", where);
        for (const std::string& entry : entriesOf(directory.get(), where))
            removeTree(directory.get(), entry, where / entry);
    }
    if (::unlinkat(parent, name.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0)
        throwErrno("cannot remove", where);
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
    Changes& changes, const Where& where)
{
    for (const std::string& name : entriesOf(directory, where)) {
        const std::string entry = relative.empty() ? name : relative + "/" + name;
        struct stat info
        {
        };
        if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            throwErrno("cannot examine", where / name);
        if (S_ISDIR(info.st_mode) && wanted.directories.count(entry) != 0) {
            const Descriptor subdirectory(openComponent(directory, name.c_str(), directoryFlags));
            if (!subdirectory.isOpen())
                throwErrno("cannot open directory", where / name);
            removeUnwanted(subdirectory.get(), entry, wanted, changes, where / name);
        } else if (!S_ISREG(info.st_mode) || wanted.files.count(entry) == 0) {
            removeTree(directory, name, where / name);
            changes.directories.insert(relative);
        }
    }
}

// The directory that holds the listed name in the target, made where missing.
Descriptor openTargetParent(
    int root, const std::vector<std::string>& components, Changes& changes, const Where& where)
{
    Descriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; current.isOpen() && i + 1 < components.size(); ++i) {
        const char* name = components[i].c_str();
        int fd = openComponent(current.get(), name, directoryFlags);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(current.get(), name, copiedDirectoryMode) != 0 && errno != EEXIST)
                throwErrno("cannot create directory", where);
            changes.directories.insert(joinComponents(components, i));
            fd = openComponent(current.get(), name, directoryFlags);
            // mkdir applies the umask.
            if (fd >= 0 && ::fchmod(fd, copiedDirectoryMode) != 0)
                throwErrno("cannot set mode", where);
        }
        current.reset(fd);
    }
    if (!current.isOpen())
        throwErrno("cannot open directory", where);
    return current;
}

// The kernel's copy where the file systems allow it, a copy through a buffer of our own where
// not.
void copyContent(int from, int to, off_t size, const Where& where)
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
            kernelCopy = false;
        } else {
            throwErrno("cannot copy", where);
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
                throwErrno("cannot copy", where);
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
            throwErrno("cannot read", where);
        }
        writeAll(to, buffer.data(), std::size_t(got), where);
    }
}

void copyFile(int source, int targetDir, const std::string& leaf, const Where& where)
{
    struct stat info
    {
    };
    if (::fstat(source, &info) != 0)
        throwErrno("cannot examine", where);
    std::string tempName;
    Descriptor target = createTemporary(targetDir, leaf, tempName, where);
    TemporaryName cleanup(targetDir, tempName);
    copyContent(source, target.get(), info.st_size, where);
    if (::fchmod(target.get(), copiedFileMode) != 0)
        throwErrno("cannot set mode", where);
    // Writeback starts now, while the next file is copied; the flush at the end of the sync only
    // waits for what is left of it.
    ::sync_file_range(target.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (target.close() != 0)
        throwErrno("cannot close", where);
    if (::renameat(targetDir, tempName.c_str(), targetDir, leaf.c_str()) != 0)
        throwErrno("cannot replace", where);
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
void flush(int root, const Changes& changes)
{
    std::error_code error;
    const auto flushOne = [&](const std::string& name, EntryType type) {
        const Where where(root, name);
        const Descriptor fd = openInside(root, name, type, error);
        if (!fd.isOpen())
            throwError("cannot flush", where, error);
        if (type == EntryType::Directory)
            fsyncDirectory(fd.get(), where);
        else if (::fsync(fd.get()) != 0)
            throwErrno("cannot flush", where);
    };
    for (const std::string& file : changes.files)
        flushOne(file, EntryType::RegularFile);
    for (const std::string& directory : changes.directories)
        flushOne(directory, EntryType::Directory);
}

// The listed names split into their components, and what the target is to hold; throws for a
// name that is not a file below the directory first.
std::vector<std::vector<std::string>> splitNames(
    int first, const QList<QString>& names, Wanted& wanted)
{
    std::vector<std::vector<std::string>> split;
    for (const QString& name : names) {
        const std::string text = name.toStdString();
        auto components = componentsInside(text);
        if (!components)
            throwError("file name leaves its directory", Where(first, text),
                make_error_code(FileError::OutsideDirectory));
        if (components->empty())
            throwErrno("file name without a file", Where(first, text), EINVAL);
        for (std::size_t i = 1; i < components->size(); ++i)
            wanted.directories.insert(joinComponents(*components, i));
        wanted.files.insert(joinComponents(*components, components->size()));
        split.push_back(std::move(*components));
    }
    for (const std::string& file : wanted.files) {
        if (wanted.directories.count(file) != 0)
            throwErrno("file name is also a directory", Where(first, file), EISDIR);
    }
    return split;
}

} // namespace

bool sync(int first, int second, const QList<QString>& names, const SharedFiles& shared,
    const std::function<bool()>& verify)
{
    Wanted wanted;
    const std::vector<std::vector<std::string>> split = splitNames(first, names, wanted);

    Changes changes;
    // Before the copies, so that an entry of the wrong type never stands in a copy's way.
    removeUnwanted(first, {}, wanted, changes, Where(first, {}));
    for (qsizetype i = 0; i < names.size(); ++i) {
        const std::vector<std::string>& components = split[std::size_t(i)];
        const std::string relative = joinComponents(components, components.size());
        const Where target(first, relative);
        const Descriptor targetDir = openTargetParent(first, components, changes, target);
        changes.directories.insert(joinComponents(components, components.size() - 1));
        if (shared.directory >= 0 && shared.names.contains(names[i])
            && linkShared(shared.directory, targetDir.get(), components))
            continue;
        std::error_code error;
        const Descriptor source = openInside(second, relative, EntryType::RegularFile, error);
        if (!source.isOpen())
            throwError("cannot open", Where(second, relative), error);
        copyFile(source.get(), targetDir.get(), components.back(), target);
        changes.files.insert(relative);
    }
    if (verify && !verify())
        return false;
    flush(first, changes);
    return true;
}

void sync(const fs::path& first, const fs::path& second, const QList<QString>& names)
{
    sync(openDirectory(first).get(), openDirectory(second).get(), names);
}

} // namespace vesk::file
