#pragma once

#include <vesk/file/fileattribute.h>
#include <vesk/file/inside.h>

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// File operations on the register's disk. Paths are std::filesystem::path made from the UTF-8
// bytes of a QString. Unless stated otherwise, failures throw std::filesystem::filesystem_error
// (a std::system_error) naming the path. Functions taking a directory descriptor work below that
// directory and never follow a symbolic link there. The names below a directory, openInside and
// openDirectory are in <vesk/file/inside.h>, which this includes.
namespace vesk::file {

// Creates the directory and any missing parents (those with the default mode), and sets `mode`
// on the last component, also when it already existed. Throws when the path exists but is not a
// directory.
void createDirectory(const std::filesystem::path& path, unsigned int mode);

// Creates the directory `name` in `parent` unless it exists, opens it without following a link
// and sets `mode` on it through the descriptor. Throws when `name` is a link or no directory.
Descriptor createDirectory(int parent, const std::string& name, unsigned int mode);

// Replaces the file with exactly `bytes` and permission `mode`, crash-safe: the content goes to a
// temporary file in the same directory, which is flushed to disk and renamed over the target, and
// then the directory is flushed. A reader sees either the old or the new file, never a mixture;
// a crash leaves the old file in place (and at most a stray ".<name>.XXXXXX" beside it).
void save2file(const std::filesystem::path& path, const QByteArray& bytes, unsigned int mode);
// The same for `name` in the open directory `directory`.
void save2file(int directory, const std::string& name, const QByteArray& bytes, unsigned int mode);
// The same without flushing anything, for a file that is rebuilt at every start and replaced
// often (on a tmpfs, or where flash wear matters more than the file): a reader still sees the old
// file or the new one, never a mixture, but a crash may leave either, or an empty file.
void replaceFile(
    int directory, const std::string& name, const QByteArray& bytes, unsigned int mode);

// Points the symbolic link `name` in `directory` at `target` in one rename, so that the link
// always exists and names the old or the new target, also across a crash (a stray
// "<name>.swap" beside it is replaced the next time); then flushes the directory. Throws
// filesystem_error, leaving the old link, when it cannot; a directory of that name is not
// replaced.
void replaceLink(int directory, const std::string& name, const std::string& target);

// The whole content of the file. A missing file gives an empty result when `missingOk` is true
// and throws otherwise.
QByteArray readFile(const std::filesystem::path& path, bool missingOk);

// The whole content of an open file, read from its start whatever its offset. Throws when it
// holds more than `limit` bytes (EFBIG) or cannot be read.
QByteArray readAll(int file, qint64 limit);

// True while another process holds the file open (any descriptor in /proc/<pid>/fd that refers to
// the same inode); descriptors of the calling process do not count. False for a missing file.
bool used(const std::filesystem::path& path);
bool used(int file);

// Sets, then clears, inode flags through FS_IOC_GETFLAGS/FS_IOC_SETFLAGS (16 is the immutable
// flag). Returns whether the flags are now as asked; a file system or process that cannot set
// them gets false, never an exception. The path is opened with O_NOFOLLOW | O_NONBLOCK: a link
// never lends the flags to the file it names, and a FIFO never blocks.
bool changeAttributes(
    const std::filesystem::path& path, QFlags<FileAttribute> set, QFlags<FileAttribute> clear);
bool changeAttributes(int file, QFlags<FileAttribute> set, QFlags<FileAttribute> clear);

// What a sync may take from another directory instead of copying: the listed names whose file
// in `directory` the caller knows (by its checksum) to hold the same bytes as the source's.
struct SharedFiles
{
    int directory = -1;
    QSet<QString> names;
};

// Makes the directory `first` hold exactly the listed relative names of the directory `second`:
// - first, whatever the list does not keep is removed from `first`: unlisted files, links and
//   other non-directories, directories no listed name lies in, and any entry of the other type
//   than the list needs there (a directory where a file is listed, a file where a directory is
//   needed);
// - then each name is copied (copy_file_range into a temporary file renamed into place) with
//   mode 0644, in directories of mode 0755, whatever the source's modes; a name in
//   `shared.names` is hard-linked from `shared.directory` instead, falling back to a copy when
//   the link cannot be made. Files are only ever replaced by rename, never written in place, so a
//   shared inode never changes under its other reader;
// - then `verify`, when given, runs while the copies are still being written back to disk; when
//   it returns false the sync returns false without flushing;
// - last, every written file and then every changed directory is flushed to disk once.
// No symbolic link is followed on either side. Throws, before touching anything, for a name
// componentsInside refuses (FileError::OutsideDirectory), one that names no file (EINVAL) and a
// file listed as a directory of another (EISDIR); later when a listed source is missing or not a
// regular file, or writing fails (a full disk, for one).
bool sync(int first, int second, const QList<QString>& names, const SharedFiles& shared = {},
    const std::function<bool()>& verify = {});

// The same on two directory paths, which may lead through links; nothing is shared.
void sync(const std::filesystem::path& first, const std::filesystem::path& second,
    const QList<QString>& names);

// A file's name as a directory has it, without "." and empty components ("./a//b" is "a/b"), the
// one form in which the engine, the played TF and the ledger compare names. A name that could
// leave the directory, or names nothing, stays as written, to be refused as such where it is used.
QString plainName(const QByteArray& url);

} // namespace vesk::file
