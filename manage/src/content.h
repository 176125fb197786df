// Internal to vesk-manage, not API.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace vesk::manage {

// A directory as the register will take it: the files TF lists and their bytes.
struct Content
{
    // Relative names of every regular file below the directory but TF, sorted.
    QStringList files;
    qint64 bytes = 0;
    QByteArray transactionFile;
};

// Reads `directory` as a delivery: playlist.ini must name at least one media file, and every url
// it names (the placeholder's too) must be a regular file inside the directory, reached without
// a symbolic link, as the register's player opens it. Files are listed as rsync sends them
// (symbolic links and other non-regular entries are left out); a name TF could not carry (a line
// break, bytes that are not UTF-8) is refused. TF is made from the files' XXH64 checksums, one
// line each in the form xxhsum -H1 writes. Nothing is written here.
// Nothing, with `error` set to a line that names the culprit, when the directory is no delivery.
std::optional<Content> readContent(const QString& directory, QString& error);

} // namespace vesk::manage
