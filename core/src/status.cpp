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
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

namespace vesk {

namespace {

const QString statusFileName = QStringLiteral("status.json");

// The management server's address as pairing stored it; empty when there is none or it does not
// read as one. Only the address: the token and the keys never go into the status.
QString pairedServer(const Core& core, const detail::HomeDirectory& home)
{
    QString text;
    try {
        text = QString::fromUtf8(home.readFile(core.serverAddressPath(), 1024));
    } catch (const std::system_error&) {
        return {};
    }
    bool ok = false;
    detail::parseHostPort(text, &ok);
    return ok && !detail::hasControlCharacter(text) ? text : QString();
}

// The entry the link names, "work_dir_a" or "work_dir_b"; empty when it names none.
QString playedName(const detail::HomeDirectory& home)
{
    try {
        return QFileInfo(home.playedPath()).fileName();
    } catch (const std::system_error&) {
        return {};
    }
}

// The directory systemd made for the service (RuntimeDirectory=, the first of several), a tmpfs
// whose files never wear the register's storage; empty when the service was started otherwise.
QString runtimeDirectory()
{
    return qEnvironmentVariable("RUNTIME_DIRECTORY").section(u':', 0, 0);
}

// Replaces the file at `path` by rename, without flushing: both files are rebuilt at every start.
void replace(const QString& path, const QByteArray& bytes)
{
    const QFileInfo info(path);
    const file::Descriptor directory = file::openDirectory(detail::toPath(info.path()));
    file::replaceFile(directory.get(), info.fileName().toStdString(), bytes, 0644);
}

} // namespace

QString Core::statusFilePath() const
{
    const QString runtime = runtimeDirectory();
    return runtime.isEmpty() ? m_home.absoluteFilePath(statusFileName)
                             : QDir(runtime).filePath(statusFileName);
}

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
    figures.played = m_status->played;
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

    try {
        const detail::HomeDirectory home(*this);
        figures.server = pairedServer(*this, home);
        figures.workDir = playedName(home);
        // Written by an earlier version, or before the service ran under systemd: a reader that
        // looks in the home must not find a status that stopped being updated.
        const QString inHome = m_home.absoluteFilePath(statusFileName);
        if (!m_status->homeStatusChecked && statusFilePath() != inHome) {
            ::unlinkat(home.get(), statusFileName.toUtf8().constData(), 0);
            m_status->homeStatusChecked = true;
        }
    } catch (const std::system_error&) {
        // No home (yet): nothing paired and nothing played, which the document says.
    }

    QString failure;
    try {
        // Readable by everyone: it holds nothing secret, and operators read it without the
        // service's rights.
        replace(statusFilePath(),
            QJsonDocument(detail::statusDocument(figures)).toJson(QJsonDocument::Indented));
        if (!m_status->prometheusPath.isEmpty())
            replace(m_status->prometheusPath, detail::prometheusText(figures));
    } catch (const std::exception& e) {
        failure = QString::fromUtf8(e.what());
    }
    // A lasting fault (a read-only disk, a missing directory) is told once, not twice a minute.
    if (failure != m_status->lastWriteError && !failure.isEmpty())
        m_logger->error(QStringLiteral("невозможно записать файл состояния: %1"), failure);
    m_status->lastWriteError = failure;
}

} // namespace vesk
