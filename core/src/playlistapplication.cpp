#include <vesk/core.h>

#include "homedirectory.h"

#include <vesk/log.h>
#include <vesk/playlist.h>
#include <vesk/stream.h>

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>

namespace vesk {

namespace {

// The directory the playlist came from, for the engine to open its media below; a link put in its
// place is not followed.
file::Descriptor openPlayedDirectory(const QString& directory)
{
    return file::Descriptor(::open(
        QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

} // namespace

// Builds the whole schedule anew from the playlist behind the link and hands it to the engine,
// which from then on holds the only reference. A file that cannot be opened changes nothing while
// the engine plays the directory the link names; when the link has moved on to a delivery without
// a readable playlist, the engine is moved to that directory with nothing scheduled: the directory
// it played is the next delivery's to overwrite, and the old schedule must not play the new files.
void Core::onPlaylistChanged()
{
    m_logger->info(QStringLiteral("Плейлист изменен"));
    // Written once this handler is done, whichever way it ends.
    statusChanged();
    // The link is read once: the engine reads the schedule's files from the directory the
    // playlist came from, whatever a later synchronisation switches the link to.
    const QString linked = QFileInfo(workPathClean()).symLinkTarget();
    const QString directory = linked.isEmpty() ? workPathClean() : linked;
    QFile file;
    QString error;
    if (!detail::HomeDirectory::openFile(
            *this, playlistFilePath(directory), file, QIODevice::ReadOnly, &error)) {
        m_logger->error(QStringLiteral("  невозможно применить плейлист: %1"), error);
        const Stream::Programme playing = m_stream->programme();
        if (!linked.isEmpty() && playing.serial > 0 && playing.directory != directory)
            m_stream->setProgramme(openPlayedDirectory(directory), directory, nullptr, QString());
        return;
    }
    PlaylistParser parser;
    parser.parse(&file);
    auto generator = QSharedPointer<Generator>::create();
    generator->setPlaylists(parser.playlists());
    m_stream->setProgramme(openPlayedDirectory(directory), directory, std::move(generator),
        QString::fromUtf8(parser.placeholder()));
    m_logger->info(QStringLiteral("  плейлист применен"));
}

} // namespace vesk
