#pragma once
// Not API: the service's home as a directory descriptor, from which the Core reaches every entry
// of its on-disk layout.

#include <vesk/file/fileoperations.h>

#include <QIODevice>
#include <QString>

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

class QFile;

namespace vesk {

class Core;

namespace detail {

// A path text as the file system's bytes (UTF-8).
std::filesystem::path toPath(const QString& path);

// The home, opened once (it may itself be reached through links: where it lies is the system's
// choice), and the entries of the layout below it, reached one component at a time without
// following a symbolic link: `work_dir_a`, `sync_dir`, `.ssh` and the files in them are used only
// when they are what they should be. The one link of the layout, `work_dir`, is read as a link:
// its target must name an entry inside the home, which is then walked like any other. Paths
// outside the home are refused with file::FileError::OutsideDirectory.
class HomeDirectory
{
public:
    // Throws std::filesystem::filesystem_error when the home cannot be opened.
    explicit HomeDirectory(const Core& core);

    int get() const { return m_home.get(); }

    // The entry at `path`, of `type`; on failure a closed descriptor and `error` (ELOOP for a link
    // on the way, ENOENT for a missing link `work_dir` in front of a name).
    file::Descriptor open(const QString& path, file::EntryType type, std::error_code& error) const;

    // The whole content of a small regular file at `path`, as open() reaches it; empty when it
    // cannot be opened so or holds more than `limit` bytes.
    QByteArray readSmallFile(const QString& path, qint64 limit) const;

    // The directory that holds the entry at `path`, and the entry's name there. The entry itself
    // is not looked at, so this is how the link is reached. Throws filesystem_error.
    std::pair<file::Descriptor, std::string> parentOf(const QString& path) const;

    // Opens the regular file at `path` into `file`; false with a readable reason otherwise.
    static bool openFile(const Core& core, const QString& path, QFile& file,
        QIODevice::OpenMode mode, QString* error);

private:
    std::vector<std::string> componentsOf(const QString& path, std::error_code& error) const;

    QString m_path;
    std::string m_link;
    file::Descriptor m_home;
};

} // namespace detail
} // namespace vesk
