#include <vesk/file/fileoperations.h>

#include "filenames.h"
#include "openinside.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vesk::file {

namespace fs = std::filesystem;

using namespace detail;

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
    const Where where(parent, name);
    requireSingleComponent(name, where);
    if (::mkdirat(parent, name.c_str(), mode & 07777) != 0 && errno != EEXIST)
        throwErrno("cannot create directory", where);
    Descriptor directory(openComponent(parent, name.c_str(), directoryFlags));
    if (!directory.isOpen())
        throwErrno("cannot create directory", where);
    // mkdir applies the umask, and an existing directory keeps whatever it had.
    if (::fchmod(directory.get(), mode & 07777) != 0)
        throwErrno("cannot set mode", where);
    return directory;
}

} // namespace vesk::file
