#pragma once
// Internal header of libvesk_files, shared with libvesk_utils (which builds on it), not API.

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace vesk::file::detail {

namespace fs = std::filesystem;

// Where a file operation works, for its error message: a path the caller gave, or a name below a
// directory descriptor. The descriptor's path is read from /proc only when an error is thrown,
// so that the operations that succeed never pay for it.
class Where
{
public:
    Where(fs::path path)
        : m_below(std::move(path))
    {
    }
    Where(int directory, fs::path below)
        : m_directory(directory)
        , m_below(std::move(below))
    {
    }

    Where operator/(const fs::path& name) const { return { m_directory, m_below / name }; }
    // The path; a descriptor's as the kernel names it now, or empty when it cannot be told.
    fs::path path() const;

private:
    int m_directory = -1;
    fs::path m_below;
};

inline std::error_code lastError()
{
    return { errno, std::generic_category() };
}

// Throws std::filesystem::filesystem_error for errno (or error) and the place.
[[noreturn]] void throwErrno(const char* what, const Where& where, int error = errno);
[[noreturn]] void throwError(const char* what, const Where& where, std::error_code error);

} // namespace vesk::file::detail
