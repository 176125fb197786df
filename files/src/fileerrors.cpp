#include "fileerrors.h"

#include <vesk/file/inside.h>

namespace vesk::file {

namespace {

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

} // namespace

std::error_code make_error_code(FileError error)
{
    static const FileErrorCategory category;
    return { int(error), category };
}

namespace detail {

fs::path Where::path() const
{
    if (m_directory < 0)
        return m_below;
    std::error_code ignored;
    const fs::path directory
        = fs::read_symlink("/proc/self/fd/" + std::to_string(m_directory), ignored);
    return m_below.empty() ? directory : directory / m_below;
}

void throwErrno(const char* what, const Where& where, int error)
{
    throwError(what, where, std::error_code(error, std::generic_category()));
}

void throwError(const char* what, const Where& where, std::error_code error)
{
    throw fs::filesystem_error(what, where.path(), error);
}

} // namespace detail

} // namespace vesk::file
