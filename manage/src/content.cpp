#include "content.h"

#include <vesk/log/peertext.h>

#include <vesk/file/fileoperations.h>
#include <vesk/playlist.h>
#include <vesk/protocol/transactionfile.h>

#include <QBuffer>
#include <QSet>

#include <unistd.h>

#include <filesystem>
#include <memory>

namespace vesk::manage {

namespace {

namespace fs = std::filesystem;

std::string_view view(const QByteArray& bytes)
{
    return { bytes.constData(), std::size_t(bytes.size()) };
}

// Every regular file below `root` as rsync -r sends it, or nothing with `error` set.
std::optional<QStringList> listFiles(const fs::path& root, QString& error)
{
    QStringList names;
    std::error_code failure;
    for (fs::recursive_directory_iterator it(root, failure), end; !failure && it != end;
         it.increment(failure)) {
        if (!it->is_regular_file(failure) || it->is_symlink(failure))
            continue;
        const std::string relative = it->path().lexically_relative(root).generic_string();
        const QString name = QString::fromStdString(relative);
        if (name.toStdString() != relative || name.contains(u'\n') || name.contains(u'\r')) {
            error = QStringLiteral("the file name '%1' cannot be listed in TF (a line break, or "
                                   "not UTF-8)")
                        .arg(log::peerText(name));
            return std::nullopt;
        }
        if (name != u"TF")
            names.append(name);
    }
    if (failure) {
        error = QStringLiteral("cannot read %1: %2")
                    .arg(QString::fromStdString(root.string()),
                        QString::fromStdString(failure.message()));
        return std::nullopt;
    }
    names.sort();
    return names;
}

// The checksum of `name` below the open directory, and its size; throws when it cannot be read.
std::pair<std::uint64_t, qint64> hashFile(int directory, const QString& name)
{
    const QByteArray bytes = name.toUtf8();
    std::error_code error;
    const file::Descriptor fd
        = file::openInside(directory, view(bytes), file::EntryType::RegularFile, error);
    if (!fd.isOpen())
        throw fs::filesystem_error("cannot read", fs::path(bytes.toStdString()), error);
    try {
        const protocol::FileHash hash = protocol::hashFile(fd.get());
        return { hash.hash, hash.size };
    } catch (const std::system_error& e) {
        throw fs::filesystem_error("cannot read", fs::path(bytes.toStdString()), e.code());
    }
}

// The urls playlist.ini names, with where each is named; the placeholder's as "placeholder".
QList<std::pair<QString, QByteArray>> urlsOf(int directory, QString& error)
{
    std::error_code failure;
    const file::Descriptor fd
        = file::openInside(directory, "playlist.ini", file::EntryType::RegularFile, failure);
    if (!fd.isOpen()) {
        error = QStringLiteral("no readable playlist.ini: %1")
                    .arg(QString::fromStdString(failure.message()));
        return {};
    }
    // Read as the register reads it, within the same limit, so that what passes here is not
    // refused there.
    QByteArray content;
    try {
        content = file::readAll(fd.get(), PlaylistParser::maxFileSize);
    } catch (const std::system_error& e) {
        error = QStringLiteral("no readable playlist.ini: %1")
                    .arg(QString::fromStdString(e.code().message()));
        if (e.code() == std::errc::file_too_large)
            error += QStringLiteral(": more than %1 bytes").arg(PlaylistParser::maxFileSize);
        return {};
    }
    QBuffer playlistFile(&content);
    playlistFile.open(QIODevice::ReadOnly);
    PlaylistParser parser;
    parser.parse(&playlistFile);
    QList<std::pair<QString, QByteArray>> urls;
    for (const Playlist& playlist : parser.playlists())
        for (const Playlist::File& entry : playlist.files)
            urls.append({ QString::fromUtf8(playlist.section + '.' + entry.section), entry.url });
    if (urls.isEmpty())
        error = QStringLiteral("playlist.ini names no media file");
    if (!parser.placeholder().isEmpty())
        urls.append({ QStringLiteral("placeholder"), parser.placeholder() });
    return urls;
}

// The url's file as TF names it, or nothing with `error` set: inside, a regular file, no link.
std::optional<QString> urlFile(int directory, const std::pair<QString, QByteArray>& url,
    const QSet<QString>& files, QString& error)
{
    const auto components = file::componentsInside(view(url.second));
    QStringList parts;
    for (const std::string& component : components.value_or(std::vector<std::string> {}))
        parts.append(QString::fromStdString(component));
    const QString name = parts.join(u'/');
    std::error_code failure;
    if (url.second.isEmpty())
        failure = std::make_error_code(std::errc::invalid_argument);
    else
        file::openInside(directory, view(url.second), file::EntryType::RegularFile, failure);
    if (!failure && !files.contains(name))
        failure = std::make_error_code(std::errc::no_such_file_or_directory);
    if (failure) {
        error = QStringLiteral("playlist.ini: the url '%1' of [%2] is not a file of the delivery: "
                               "%3")
                    .arg(log::peerText(QString::fromUtf8(url.second)), log::peerText(url.first),
                        url.second.isEmpty() ? QStringLiteral("empty")
                                             : QString::fromStdString(failure.message()));
        return std::nullopt;
    }
    return name;
}

} // namespace

std::optional<Content> readContent(const QString& directory, QString& error)
{
    const QByteArray path = directory.toUtf8();
    const fs::path root(path.constData(), path.constData() + path.size());
    try {
        const file::Descriptor dir = file::openDirectory(root);
        Content content;
        std::optional<QStringList> files = listFiles(root, error);
        if (!files)
            return std::nullopt;
        content.files = std::move(*files);
        const QSet<QString> listed(content.files.cbegin(), content.files.cend());
        const auto urls = urlsOf(dir.get(), error);
        if (!error.isEmpty())
            return std::nullopt;
        for (const auto& url : urls)
            if (!urlFile(dir.get(), url, listed, error))
                return std::nullopt;
        for (const QString& name : content.files) {
            const auto [hash, size] = hashFile(dir.get(), name);
            content.transactionFile += protocol::formatTransactionLine(hash, name.toUtf8());
            content.bytes += size;
        }
        return content;
    } catch (const fs::filesystem_error& e) {
        error = QString::fromUtf8(e.what());
        return std::nullopt;
    }
}

} // namespace vesk::manage
