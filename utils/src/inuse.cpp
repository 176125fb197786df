#include <vesk/file/fileoperations.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <string_view>

namespace vesk::file {

namespace fs = std::filesystem;

namespace {

// Whether a process other than this one has a descriptor open on the inode, by a walk over
// /proc/<pid>/fd of every process this one may look into.
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

} // namespace

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

} // namespace vesk::file
