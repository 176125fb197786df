#include "openinside.h"

#include <vesk/file/fileoperations.h>

#include <linux/fs.h>
#include <sys/ioctl.h>

namespace vesk::file {

namespace fs = std::filesystem;

bool changeAttributes(const fs::path& path, QFlags<FileAttribute> set, QFlags<FileAttribute> clear)
{
    const Descriptor file(::open(path.c_str(), detail::fileFlags));
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

} // namespace vesk::file
