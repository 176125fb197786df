#include "homeentries.h"

#include <vesk/file/inside.h>
#include <vesk/protocol/homelayout.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <optional>
#include <vector>

namespace vesk::sshgate {

namespace layout = protocol::home;

namespace {

using file::EntryType;

std::string joined(
    std::vector<std::string>::const_iterator begin, std::vector<std::string>::const_iterator end)
{
    std::string text;
    for (auto it = begin; it != end; ++it)
        text += (text.empty() ? "" : "/") + *it;
    return text;
}

Destination refused(std::string reason)
{
    return { {}, {}, std::move(reason) };
}

Destination refusedFor(const std::error_code& error)
{
    if (error == std::errc::too_many_symbolic_link_levels)
        return refused("the destination passes a link");
    if (error == file::FileError::OutsideDirectory)
        return refused("the destination is outside the sync directory");
    return refused("the destination cannot be opened: " + error.message());
}

// The destination's components below the home; nothing when it lies outside it.
std::optional<std::vector<std::string>> belowHome(
    std::string_view homePath, std::string_view destination)
{
    const std::string normal = std::filesystem::path(destination).lexically_normal().string();
    const std::string home(homePath);
    std::string relative = normal;
    if (normal.starts_with('/')) {
        if (normal != home && !normal.starts_with(home + "/"))
            return std::nullopt;
        relative = normal.substr(std::min(normal.size(), home.size() + 1));
    }
    return file::componentsInside(relative);
}

// The last component of a destination rsync will write by name: new, or a regular file.
std::string refuseLastName(int directory, const std::string& name)
{
    struct stat info
    {
    };
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::string()
                               : std::error_code(errno, std::generic_category()).message();
    if (S_ISLNK(info.st_mode))
        return "the destination passes a link";
    return S_ISREG(info.st_mode) ? std::string() : "the destination is not a regular file";
}

} // namespace

Destination resolveDestination(int home, std::string_view homePath, std::string_view destination)
{
    const auto components = belowHome(homePath, destination);
    if (!components || components->empty() || components->front() != layout::syncDir)
        return refused("the destination is outside the sync directory");

    std::error_code error;
    file::Descriptor whole = file::openInside(
        home, joined(components->begin(), components->end()), EntryType::Directory, error);
    if (whole.isOpen())
        return { std::move(whole), ".", {} };
    if (components->size() == 1
        || (error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory))
        return refusedFor(error);

    file::Descriptor parent = file::openInside(
        home, joined(components->begin(), components->end() - 1), EntryType::Directory, error);
    if (!parent.isOpen())
        return refusedFor(error);
    const std::string& last = components->back();
    if (std::string refusal = refuseLastName(parent.get(), last); !refusal.empty())
        return refused(std::move(refusal));
    return { std::move(parent), "./" + last + (destination.ends_with('/') ? "/" : ""), {} };
}

file::Descriptor openPlayedTransactionFile(int home, std::error_code& error)
{
    char target[PATH_MAX];
    const ssize_t length
        = ::readlinkat(home, std::string(layout::workDirLink).c_str(), target, sizeof target);
    if (length < 0) {
        error = std::error_code(errno, std::generic_category());
        return {};
    }
    const std::string_view named(target, std::size_t(length));
    if (named != layout::workDirA && named != layout::workDirB) {
        error = file::make_error_code(file::FileError::OutsideDirectory);
        return {};
    }
    return file::openInside(home, std::string(named) + '/' + std::string(layout::transactionFile),
        EntryType::RegularFile, error);
}

} // namespace vesk::sshgate
