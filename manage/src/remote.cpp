#include "remote.h"

#include <vesk/log/peertext.h>
#include <vesk/protocol/gatecommands.h>
#include <vesk/protocol/status.h>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>
#include <QRegularExpression>

namespace vesk::manage {

namespace {

constexpr qint64 errLimit = 64 * 1024;
// The register's status file is a few kilobytes; vesk-status reads at most 1 MiB of it.
constexpr qint64 statusLimit = 1 << 20;
// vesk-status's statuses that come with the file printed: running, and stopped or stale.
constexpr int statusRunning = status::exitStatus::running;
constexpr int statusNotRunning = status::exitStatus::notRunning;

void take(QByteArray& kept, const QByteArray& piece, qint64 limit, bool& overflow)
{
    if (kept.size() + piece.size() > limit) {
        kept += piece.first(std::max<qint64>(0, limit - kept.size()));
        overflow = true;
    } else {
        kept += piece;
    }
}

} // namespace

QString ProgramRun::ending() const
{
    if (!started)
        return QStringLiteral("could not be started");
    if (timedOut)
        return QStringLiteral("did not end in time");
    if (overflow)
        return QStringLiteral("said more than expected");
    if (status < 0)
        return QStringLiteral("was killed");
    return QStringLiteral("exit status %1").arg(status);
}

ProgramRun runProgram(const QString& program, const QStringList& arguments, qint64 outLimit,
    int timeoutMs, const std::function<void(const QByteArray&)>& onOutput)
{
    ProgramRun run;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    run.started = process.waitForStarted();
    if (!run.started)
        return run;
    const QDeadlineTimer deadline(timeoutMs);
    bool errOverflow = false;
    const auto collect = [&] {
        const QByteArray out = process.readAllStandardOutput();
        if (onOutput && !out.isEmpty())
            onOutput(out);
        else
            take(run.out, out, outLimit, run.overflow);
        take(run.err, process.readAllStandardError(), errLimit, errOverflow);
    };
    while (process.state() == QProcess::Running && !run.overflow) {
        if (deadline.hasExpired()) {
            run.timedOut = true;
            break;
        }
        process.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 250)));
        collect();
    }
    if (process.state() == QProcess::Running) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    process.waitForFinished();
    collect();
    if (process.exitStatus() == QProcess::NormalExit && !run.overflow)
        run.status = process.exitCode();
    return run;
}

bool validUser(const QString& user)
{
    static const QRegularExpression rule(QStringLiteral("^[a-z_][a-z0-9_-]{0,31}$"));
    return rule.match(user).hasMatch();
}

QStringList sshOptions(const SshTarget& target)
{
    QStringList arguments { QStringLiteral("-i"), target.key, QStringLiteral("-p"),
        QString::number(target.port), QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
        QStringLiteral("-o"), QStringLiteral("IdentitiesOnly=yes"), QStringLiteral("-o"),
        QStringLiteral("ConnectTimeout=10") };
    for (const QString& option : target.options)
        arguments << QStringLiteral("-o") << option;
    return arguments;
}

QStringList sshArguments(const SshTarget& target)
{
    return sshOptions(target) << QStringLiteral("-l") << target.user << QStringLiteral("--")
                              << target.host.toString();
}

QString rsyncShell(const SshTarget& target)
{
    // rsync splits -e at blanks and keeps quoted blanks; a doubled quote inside double quotes is
    // a quote. The user and the destination are rsync's to add.
    QStringList quoted { QStringLiteral("ssh") };
    for (QString argument : sshOptions(target))
        quoted << u'"' + argument.replace(u'"', QStringLiteral("\"\"")) + u'"';
    return quoted.join(u' ');
}

QString remotePath(const SshTarget& target, const QString& path)
{
    return QStringLiteral("%1@%2:%3").arg(target.user, target.host.toString(), path);
}

std::optional<QJsonObject> readStatus(const SshTarget& target, QString& error)
{
    const ProgramRun run = runProgram(QStringLiteral("ssh"),
        sshArguments(target) << QString::fromStdString(protocol::gate::joined(protocol::gate::readStatus)),
        statusLimit,
        remoteTimeoutSeconds * 1000);
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(run.out, &parsed);
    if ((run.status == statusRunning || run.status == statusNotRunning) && document.isObject())
        return document.object();
    error = QStringLiteral("cannot read the register's status (ssh %1): %2")
                .arg(run.ending(),
                    log::peerText(
                        QString::fromUtf8(run.err.isEmpty() ? run.out : run.err).trimmed(), 300));
    return std::nullopt;
}

} // namespace vesk::manage
