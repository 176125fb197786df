#pragma once
// Not API: the service's home as a directory descriptor, from which the Core reaches every entry
// of its on-disk layout, and the work directory that its link names.
//
// Every failure here throws std::filesystem::filesystem_error (a std::system_error) naming the
// path; callers that expect a failure (an unpaired register has no address) catch it.

#include <vesk/file/fileoperations.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

class Core;

namespace detail {

// A path text as the file system's bytes (UTF-8).
std::filesystem::path toPath(const QString& path);

// The work directory that the link `work_dir` names, open: what the link switch, the status and
// the playlist application mean by the played directory. Movable, not copyable.
class PlayedDirectory
{
public:
    PlayedDirectory(QString path, file::Descriptor directory);

    // The Core's path of it: workPathA() or workPathB().
    const QString& path() const { return m_path; }
    int get() const { return m_directory.get(); }

    // A descriptor of the same directory for an owner of its own (the stream engine), closed on
    // exec like every descriptor of the service.
    file::Descriptor duplicate() const;
    // The whole content of the regular file `name` below it, never through a link; EFBIG when it
    // holds more than `limit` bytes.
    QByteArray readFile(const std::string& name, qint64 limit) const;
    // Whether the open directory `directory` is this one.
    bool isSame(int directory) const;

private:
    QString m_path;
    file::Descriptor m_directory;
};

// A work directory that a synchronisation verified and switched the link to, and the XXH64 of its
// TF: what the run hands on to the playlist application it queues, so that neither the link nor
// the directory is looked up again.
struct SwitchedDirectory
{
    PlayedDirectory directory;
    std::uint64_t delivery = 0;
};

// The home, opened once (it may itself be reached through links: where it lies is the system's
// choice), and the entries of the layout below it, reached one component at a time without
// following a symbolic link: `work_dir_a`, `sync_dir`, `.ssh` and the files in them are used only
// when they are what they should be. The one link of the layout, `work_dir`, is read by played()
// and playedPath() alone, and only a link naming one of the two work directories counts.
class HomeDirectory
{
public:
    explicit HomeDirectory(const Core& core);

    int get() const { return m_home.get(); }

    // The entry at `path`, of `type`: ELOOP for a link on the way (the link `work_dir` included),
    // FileError::OutsideDirectory for a path outside the home.
    file::Descriptor open(const QString& path, file::EntryType type) const;

    // The whole content of the regular file at `path`, as open() reaches it; EFBIG when it holds
    // more than `limit` bytes.
    QByteArray readFile(const QString& path, qint64 limit) const;

    // The directory that holds the entry at `path`, and the entry's name there. The entry itself
    // is not looked at, so this is how the link is reached.
    std::pair<file::Descriptor, std::string> parentOf(const QString& path) const;

    // The work directory the link names, from the link alone: ENOENT without a link, EINVAL for
    // a directory in its place, FileError::OutsideDirectory for a link that names anything but
    // one of the two work directories.
    QString playedPath() const;
    // The same, opened.
    PlayedDirectory played() const;
    // The work directory that a delivery fills while `played` (a playedPath(), or empty when the
    // link names none) is played: never the played one; B when nothing is played.
    QString dirtyPath(const QString& played) const;
    // Points the link at the work directory `work` in one rename (file::replaceLink).
    void switchLink(const QString& work) const;

private:
    std::vector<std::string> componentsOf(const QString& path) const;

    QString m_path;
    std::string m_link;
    QString m_workA;
    QString m_workB;
    file::Descriptor m_home;
};

} // namespace detail
} // namespace vesk
