#pragma once

#include <vesk/file/fileattribute.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <filesystem>

// File operations on the register's disk. Paths are std::filesystem::path made from the UTF-8
// bytes of a QString. Unless stated otherwise, failures throw std::filesystem::filesystem_error
// (a std::system_error) naming the path.
namespace vesk::file {

// Creates the directory and any missing parents (those with the default mode), and sets `mode`
// on the last component, also when it already existed. Throws when the path exists but is not a
// directory.
void createDirectory(const std::filesystem::path& path, unsigned int mode);

// Replaces the file with exactly `bytes` and permission `mode`, crash-safe: the content goes to a
// temporary file in the same directory, which is flushed to disk and renamed over the target, and
// then the directory is flushed. A reader sees either the old or the new file, never a mixture;
// a crash leaves the old file in place (and at most a stray ".<name>.XXXXXX" beside it).
void save2file(const std::filesystem::path& path, const QByteArray& bytes, unsigned int mode);

// The whole content of the file. A missing file gives an empty result when `missingOk` is true
// and throws otherwise.
QByteArray readFile(const std::filesystem::path& path, bool missingOk);

// True while another process holds the file open (any descriptor in /proc/<pid>/fd that refers to
// the same inode); descriptors of the calling process do not count. False for a missing file.
bool used(const std::filesystem::path& path);

// Sets, then clears, inode flags through FS_IOC_GETFLAGS/FS_IOC_SETFLAGS (16 is the immutable
// flag). Returns whether the flags are now as asked; a file system or process that cannot set
// them gets false, never an exception.
bool changeAttributes(
    const std::filesystem::path& path, QFlags<FileAttribute> set, QFlags<FileAttribute> clear);

// Copies each listed relative name from `second` into `first`, creating subdirectories and
// replacing what is there (each file atomically, with the source's permission bits, flushed to
// disk); then removes the files and symbolic links in `first` that are not listed, and the
// directories left empty. Symbolic links are never followed, on either side, so nothing outside
// the two directories is read or written. Throws std::invalid_argument, before touching anything,
// for an empty or absolute name or one with a ".." component; throws filesystem_error when a
// listed source is missing or not a regular file, or a copy fails.
void sync(const std::filesystem::path& first, const std::filesystem::path& second,
    const QList<QString>& names);

} // namespace vesk::file
