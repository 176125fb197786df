#include <vesk/core.h>

#include "homedirectory.h"

#include <vesk/log.h>
#include <vesk/playlist.h>
#include <vesk/stream.h>

#include <QFile>

namespace vesk {

// Builds the whole schedule anew from the playlist behind the link and hands it to the engine,
// which from then on holds the only reference. A file that cannot be opened changes nothing.
void Core::onPlaylistChanged()
{
    m_logger->info(QStringLiteral("Плейлист изменен"));
    QFile file;
    QString error;
    if (!detail::HomeDirectory::openFile(
            *this, playlistFilePath(workPathClean()), file, QIODevice::ReadOnly, &error)) {
        m_logger->error(QStringLiteral("  невозможно применить плейлист: %1"), error);
        return;
    }
    PlaylistParser parser;
    parser.parse(&file);
    auto generator = QSharedPointer<Generator>::create();
    generator->setPlaylists(parser.playlists());
    m_stream->setGenerator(generator);
    m_stream->setPlaceholder(QString::fromUtf8(parser.placeholder()));
    m_logger->info(QStringLiteral("  плейлист применен"));
}

} // namespace vesk
