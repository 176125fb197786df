#include "fileerrors.h"

#include <vesk/file/fileoperations.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace vesk::file {

namespace fs = std::filesystem;

using namespace detail;

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
    // Growing to a large file would copy what was read at each step and hold the file twice for
    // a moment: its size is reserved first, as a hint.
    struct stat info
    {
    };
    if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        content.reserve(qsizetype(std::min<qint64>(info.st_size, limit)));
    char buffer[65536];
    while (true) {
        // Read to the end, whatever the size said: files in /proc report 0, and a file may change
        // while we read.
        const ssize_t got = ::pread(file, buffer, sizeof buffer, off_t(content.size()));
        if (got == 0)
            return content;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("cannot read", Where(file, {}));
        }
        if (content.size() + got > limit)
            throwErrno("cannot read", Where(file, {}), EFBIG);
        content.append(buffer, got);
    }
}

} // namespace vesk::file
