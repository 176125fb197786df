#include "sshmaster.h"

#include <vesk/log/peertext.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

#include <csignal>

#include <sys/prctl.h>

namespace vesk::manage {

namespace {

constexpr unsigned long readyPollMs = 20;
constexpr int sshFailed = 255;

} // namespace

SshMaster::SshMaster(const SshTarget& target, int timeoutMs)
    : m_target(target)
    , m_directory(QDir::tempPath() + QStringLiteral("/vesk-manage-XXXXXX"))
{
    if (!m_directory.isValid())
        return;
    const QString socket = m_directory.filePath(QStringLiteral("master"));
    m_master.setProgram(QStringLiteral("ssh"));
    m_master.setArguments(sshOptions(target)
        << QStringLiteral("-o") << QStringLiteral("ControlMaster=yes") << QStringLiteral("-o")
        << QStringLiteral("ControlPath=") + socket << QStringLiteral("-N") << QStringLiteral("-l")
        << target.user << QStringLiteral("--") << target.host.toString());
    m_master.setStandardInputFile(QProcess::nullDevice());
    m_master.setStandardOutputFile(QProcess::nullDevice());
    m_master.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_master.start();
    // The socket appears once the register has let us in.
    const QDeadlineTimer deadline(timeoutMs);
    while (m_master.state() != QProcess::NotRunning && !QFileInfo::exists(socket)
        && !deadline.hasExpired()) {
        m_master.waitForFinished(int(readyPollMs));
    }
    // ssh ends with 255 for every failure of its own; its last lines say which.
    if (m_master.state() == QProcess::NotRunning && m_master.exitStatus() == QProcess::NormalExit
        && m_master.exitCode() == sshFailed) {
        const QList<QByteArray> lines = m_master.readAllStandardError().trimmed().split('\n');
        m_unreachable = log::peerText(QString::fromUtf8(lines.back()).trimmed(), 300);
        if (m_unreachable.isEmpty())
            m_unreachable = QStringLiteral("ssh gave up without a word");
    }
    if (QFileInfo::exists(socket))
        m_target.options << QStringLiteral("ControlMaster=no")
                         << QStringLiteral("ControlPath=") + socket;
}

SshMaster::~SshMaster()
{
    if (m_master.state() == QProcess::NotRunning)
        return;
    m_master.terminate();
    if (!m_master.waitForFinished(5000))
        m_master.kill();
    m_master.waitForFinished();
}

} // namespace vesk::manage
