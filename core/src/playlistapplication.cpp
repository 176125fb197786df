#include <vesk/core.h>

#include "homedirectory.h"

#include <vesk/log.h>
#include <vesk/playlist.h>
#include <vesk/stream.h>

#include <QBuffer>

#include <optional>
#include <system_error>

namespace vesk {

// Builds the whole schedule anew from the played directory's playlist and hands it to the engine,
// which from then on holds the only reference; the engine reads the schedule's files from that
// directory, whatever a later synchronisation switches the link to. A playlist that cannot be read
// (missing, or larger than a playlist can be) changes nothing while the engine plays the played
// directory; when the link has moved on to a delivery without a readable playlist, the engine is
// moved to that directory with nothing scheduled and the placeholder it had: the directory it
// played is the next delivery's to overwrite, and the old schedule must not play the new files.
// The engine gets a descriptor of its own of the very directory the playlist was read from.
void Core::onPlaylistChanged()
{
    m_logger->info(QStringLiteral("Плейлист изменен"));
    // Written once this handler is done, whichever way it ends.
    statusChanged();
    std::optional<detail::PlayedDirectory> played;
    QByteArray content;
    try {
        played.emplace(detail::HomeDirectory(*this).played());
        content = played->readFile("playlist.ini", PlaylistParser::maxFileSize);
    } catch (const std::system_error& e) {
        QString reason = QString::fromStdString(e.code().message());
        if (e.code() == std::errc::file_too_large)
            reason += QStringLiteral(": more than %1 bytes").arg(PlaylistParser::maxFileSize);
        m_logger->error(QStringLiteral("  невозможно применить плейлист: %1"), reason);
        const Stream::Programme programme = m_stream->programme();
        if (played && programme.serial > 0 && programme.directory != played->path())
            m_stream->setProgramme(
                played->duplicate(), played->path(), nullptr, programme.placeholder);
        return;
    }
    QBuffer file(&content);
    file.open(QIODevice::ReadOnly);
    PlaylistParser parser;
    parser.parse(&file);
    auto generator = QSharedPointer<Generator>::create();
    generator->setPlaylists(parser.playlists());
    m_stream->setProgramme(played->duplicate(), played->path(), std::move(generator),
        QString::fromUtf8(parser.placeholder()));
    m_logger->info(QStringLiteral("  плейлист применен"));
}

} // namespace vesk
