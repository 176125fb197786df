#pragma once

#include <QFlags>

namespace vesk::file {

// Inode flags as Linux numbers them (FS_*_FL), so that a plain value such as 16 means the same
// here as in the kernel.
enum FileAttribute : unsigned int {
    Immutable = 0x10,
    AppendOnly = 0x20,
};
Q_DECLARE_FLAGS(FileAttributes, FileAttribute)
Q_DECLARE_OPERATORS_FOR_FLAGS(FileAttributes)

} // namespace vesk::file
