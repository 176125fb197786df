#pragma once
// Internal header of libvesk_utils, not API.

#include "fileerrors.h"

#include <vesk/file/descriptor.h>

#include <cstddef>
#include <string>

namespace vesk::file::detail {

// Removes a temporary file unless it was renamed into place.
class TemporaryName
{
public:
    TemporaryName(int dirFd, std::string name)
        : m_dirFd(dirFd)
        , m_name(std::move(name))
    {
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    ~TemporaryName();

    const std::string& name() const noexcept { return m_name; }
    void commit() noexcept { m_committed = true; }

private:
    int m_dirFd;
    std::string m_name;
    bool m_committed = false;
};

// A new file of mode 0600 under a fresh temporary name for name in dirFd; its name goes to
// tempName. Throws filesystem_error for where.
Descriptor createTemporary(
    int dirFd, const std::string& name, std::string& tempName, const Where& where);

void writeAll(int fd, const char* data, std::size_t size, const Where& where);

// Flushes a directory, so that the renames in it are on disk; file systems that cannot flush a
// directory are left as durable as they make it.
void fsyncDirectory(int dirFd, const Where& where);

} // namespace vesk::file::detail
