#include "atomicwrite.h"
#include "filenames.h"

#include <vesk/file/fileoperations.h>

#include <fcntl.h>
#include <unistd.h>

namespace vesk::file {

using namespace detail;

void replaceLink(int directory, const std::string& name, const std::string& target)
{
    const Where where(directory, name);
    requireSingleComponent(name, where);
    const std::string temporary = name + ".swap";
    ::unlinkat(directory, temporary.c_str(), 0);
    if (::symlinkat(target.c_str(), directory, temporary.c_str()) != 0)
        throwErrno("cannot create link", where);
    if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(directory, temporary.c_str(), 0);
        throwErrno("cannot replace link", where, error);
    }
    fsyncDirectory(directory, Where(directory, {}));
}

} // namespace vesk::file
