#include <vesk/core.h>

#include "authorizedkey.h"
#include "homedirectory.h"
#include "parsehostport.h"
#include "statusreport.h"

#include <vesk/file/fileoperations.h>
#include <vesk/httpserver.h>
#include <vesk/log.h>
#include <vesk/stream.h>

#include <QCoreApplication>
#include <QJsonDocument>

#include <filesystem>
#include <system_error>

namespace vesk {

namespace {

// The management server's address as pairing stored it; empty when there is none or it does not
// read as one. Only the address: the token and the keys never go into the status.
QString pairedServer(const Core& core, const detail::HomeDirectory& home)
{
    const QString text = QString::fromUtf8(home.readSmallFile(core.serverAddressPath(), 1024));
    bool ok = false;
    detail::parseHostPort(text, &ok);
    return ok && !detail::hasControlCharacter(text) ? text : QString();
}

} // namespace

void Core::statusChanged()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_statusSoon && !m_statusSoon->isActive())
                m_statusSoon->start();
        },
        Qt::QueuedConnection);
}

void Core::onStatus()
{
    writeStatus(std::nullopt);
}

void Core::writeStatus(const std::optional<QDateTime>& stopped)
{
    detail::StatusFigures figures;
    figures.version = QCoreApplication::applicationVersion();
    figures.pid = QCoreApplication::applicationPid();
    figures.started = m_status->started;
    figures.updated = QDateTime::currentDateTime();
    figures.stopped = stopped;
    figures.home = homePath();
    figures.heartbeat = m_status->heartbeat;
    figures.sync = m_status->sync;
    figures.switched = m_status->switched;
    std::error_code linkError;
    figures.workDir = QString::fromStdString(
        std::filesystem::read_symlink(detail::toPath(workPathClean()), linkError)
            .filename()
            .string());
    figures.playlists = m_stream->programme().playlists;
    figures.playing = m_stream->playing();
    figures.streamDestination
        = QStringLiteral("%1:%2").arg(m_stream->peerAddress().toString()).arg(m_stream->peerPort());
    figures.datagramsSent = m_stream->sentDatagrams();
    figures.bytesSent = m_stream->sentBytes();
    figures.sendErrors = m_stream->droppedDatagrams();
    figures.displaysJoined = m_status->displaysJoined.load();
    if (m_server)
        figures.api = m_server->tally();

    QString failure;
    try {
        const detail::HomeDirectory home(*this);
        figures.server = pairedServer(*this, home);
        const auto [directory, name] = home.parentOf(statusFilePath());
        // Readable by everyone: it holds nothing secret, and operators read it without the
        // service's rights.
        file::save2file(directory.get(), name,
            QJsonDocument(detail::statusDocument(figures)).toJson(QJsonDocument::Indented), 0644);
        if (!m_status->prometheusPath.isEmpty())
            file::save2file(
                detail::toPath(m_status->prometheusPath), detail::prometheusText(figures), 0644);
    } catch (const std::exception& e) {
        failure = QString::fromUtf8(e.what());
    }
    // A lasting fault (a read-only disk, a missing directory) is told once, not twice a minute.
    if (failure != m_status->lastWriteError && !failure.isEmpty())
        m_logger->error(QStringLiteral("cannot write the status: %1"), failure);
    m_status->lastWriteError = failure;
}

} // namespace vesk
