#include <vesk/core.h>

#include "homedirectory.h"
#include "playrecorder.h"
#include "statusreport.h"
#include "transactionfile.h"

#include <vesk/file/fileoperations.h>
#include <vesk/log.h>
#include <vesk/playlist.h>
#include <vesk/stream.h>

#include <QBuffer>

#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>

namespace vesk {

namespace {

// The XXH64 of the played directory's TF; none when it has none that could be read.
std::optional<std::uint64_t> deliveryOf(const detail::PlayedDirectory& played)
{
    try {
        return detail::digestOf(played.readFile("TF", detail::maxTransactionFileSize)).hash;
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

// What the records of plays from the played directory name: its delivery and the checksum its TF
// lists for each file the schedule may play (the placeholder included). Only those files are
// kept, however long the TF.
detail::PlayedCatalogue catalogueOf(const detail::PlayedDirectory& played,
    std::optional<std::uint64_t> delivery, const PlaylistParser& parser)
{
    detail::PlayedCatalogue catalogue;
    catalogue.delivery = delivery;
    QSet<QString> urls { file::plainName(parser.placeholder()) };
    for (const Playlist& playlist : parser.playlists())
        for (const Playlist::File& file : playlist.files)
            urls.insert(file::plainName(file.url));
    QByteArray tf;
    try {
        tf = played.readFile("TF", detail::maxTransactionFileSize);
    } catch (const std::system_error&) {
        return catalogue;
    }
    const Expected<detail::TransactionList, QString> list = detail::parseTransactionFile(tf, true);
    if (!list)
        return catalogue;
    for (qsizetype i = 0; i < list.value().size(); ++i)
        if (const QString name = list.value().nameText(i); urls.contains(name))
            catalogue.checksums.insert(name, list.value().checksum(i));
    return catalogue;
}

} // namespace

// Builds the whole schedule anew from the played directory's playlist and hands it to the engine,
// which from then on holds the only reference; the engine reads the schedule's files from that
// directory, whatever a later synchronisation switches the link to. The played directory is the
// one a synchronisation just switched to, as that run verified it, or else the one the link names.
// A playlist that cannot be read (missing, or larger than a playlist can be) changes nothing while
// the engine plays the played directory; when the link has moved on to a delivery without a
// readable playlist, the engine is moved to that directory with nothing scheduled and the
// placeholder it had: the directory it played is the next delivery's to overwrite, and the old
// schedule must not play the new files. The engine gets a descriptor of its own of the very
// directory the playlist was read from. The status names the delivery whose playlist was applied.
void Core::onPlaylistChanged()
{
    m_logger->info(QStringLiteral("Плейлист изменен"));
    // Written once this handler is done, whichever way it ends.
    statusChanged();
    const std::unique_ptr<detail::SwitchedDirectory> switched = std::move(m_switched);
    std::optional<detail::PlayedDirectory> played;
    std::optional<std::uint64_t> delivery;
    QByteArray content;
    try {
        if (switched) {
            played.emplace(std::move(switched->directory));
            delivery = switched->delivery;
        } else {
            played.emplace(detail::HomeDirectory(*this).played());
            delivery = deliveryOf(*played);
        }
        content = played->readFile("playlist.ini", PlaylistParser::maxFileSize);
    } catch (const std::system_error& e) {
        QString reason = QString::fromStdString(e.code().message());
        if (e.code() == std::errc::file_too_large)
            reason += QStringLiteral(": more than %1 bytes").arg(PlaylistParser::maxFileSize);
        m_logger->error(QStringLiteral("  невозможно применить плейлист: %1"), reason);
        const Stream::Programme programme = m_stream->programme();
        if (played && programme.serial > 0 && programme.directory != played->path()) {
            m_stream->setProgramme(
                played->duplicate(), played->path(), nullptr, programme.placeholder);
            m_status->played.reset();
            if (m_plays)
                m_plays->setCatalogue(played->path(), { delivery, {} });
        }
        return;
    }
    QBuffer file(&content);
    file.open(QIODevice::ReadOnly);
    PlaylistParser parser;
    parser.parse(&file);
    // Before the engine can play from it.
    if (m_plays)
        m_plays->setCatalogue(played->path(), catalogueOf(*played, delivery, parser));
    auto generator = QSharedPointer<Generator>::create();
    generator->setPlaylists(parser.playlists());
    m_stream->setProgramme(played->duplicate(), played->path(), std::move(generator),
        QString::fromUtf8(parser.placeholder()));
    m_status->played = delivery
        ? std::optional(detail::PlayedRecord { *delivery, QDateTime::currentDateTime() })
        : std::nullopt;
    m_logger->info(QStringLiteral("  плейлист применен"));
}

} // namespace vesk
