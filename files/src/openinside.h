#pragma once
// Internal header of libvesk_files, shared with libvesk_utils (which builds on it), not API.

#include <vesk/file/inside.h>

#include <fcntl.h>

#include <string>
#include <system_error>
#include <vector>

namespace vesk::file::detail {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for regular files.
constexpr int fileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// One entry below parent, never through a link: a link fails with ELOOP (O_DIRECTORY alone
// would report it as ENOTDIR). Returns the descriptor, or -1 with errno set.
int openComponent(int parent, const char* name, int flags);

// Opens the first count components below root, the last of them as type; on failure returns a
// closed Descriptor and sets error.
Descriptor openComponents(int root, const std::vector<std::string>& components, std::size_t count,
    EntryType type, std::error_code& error);

} // namespace vesk::file::detail
