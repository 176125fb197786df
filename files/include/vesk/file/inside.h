#pragma once

#include <vesk/file/descriptor.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Reaching an entry below a directory without ever following a symbolic link: the part of the
// file operations that needs nothing but the C library, for programs that must link no more (the
// SSH gate). The rest, with Qt's byte arrays, is in <vesk/file/fileoperations.h>.
namespace vesk::file {

// Failures of our own beside errno's, in the category "vesk.file".
enum class FileError {
    NotRegularFile = 1, // a FIFO, socket or device where a file was expected
    OutsideDirectory, // a name that componentsInside refuses
};
std::error_code make_error_code(FileError error);

// The one rule for a name below a directory. Returns its components, empty and "." ones dropped
// ("a//./b" gives a, b; "", "." and "./" give none, the directory itself), or std::nullopt
// when the name could reach outside the directory or be read as another name by the system: an
// absolute name, a ".." component anywhere ("../x", "a/../b", "a/.."), a NUL byte. "..x" and
// "a/..b" are ordinary names. Links are not looked at here: openInside never follows them.
std::optional<std::vector<std::string>> componentsInside(std::string_view name);

enum class EntryType {
    RegularFile,
    Directory,
};

// Opens `name` below the directory `directory` read-only, one component at a time with
// O_NOFOLLOW, so a symbolic link anywhere in the name fails with ELOOP. The entry must be of
// `type`: a directory where a file is wanted gives EISDIR, a FIFO, socket or device
// FileError::NotRegularFile (a FIFO never blocks the open); a name componentsInside refuses gives
// FileError::OutsideDirectory. `directory` itself may have been reached through links by
// whoever opened it. On failure returns a closed Descriptor and sets `error`.
Descriptor openInside(int directory, std::string_view name, EntryType type, std::error_code& error);

// Opens the directory at `path`; the path is the caller's and may lead through links. Throws
// std::filesystem::filesystem_error naming the path when it cannot.
Descriptor openDirectory(const std::filesystem::path& path);

} // namespace vesk::file

template <> struct std::is_error_code_enum<vesk::file::FileError> : std::true_type
{
};
