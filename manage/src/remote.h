// Internal to vesk-manage, not API.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace vesk::manage {

// How we log in to a register: the paired key, nothing else of ours (no agent key, no password,
// no question on the terminal).
struct SshTarget
{
    QHostAddress host;
    quint16 port = 22;
    QString user = QStringLiteral("vesk");
    QString key;
    // Further "-o" options for ssh, as given on our command line.
    QStringList options;
};

// What a program said and how it ended. Output beyond the limit is not kept: the program is
// stopped and `overflow` set.
struct ProgramRun
{
    bool started = false;
    bool timedOut = false;
    bool overflow = false;
    // The exit status; -1 when the program did not exit by itself.
    int status = -1;
    QByteArray out;
    QByteArray err;

    // "exit status 23", "killed after 30 s", ...; for messages.
    QString ending() const;
};

// Runs `program` without a shell, keeping at most `outLimit` bytes of its standard output and
// 64 KiB of its standard error, for at most `timeoutMs`. `onOutput`, when given, sees each piece
// of standard output as it comes (the pieces are not kept then).
ProgramRun runProgram(const QString& program, const QStringList& arguments, qint64 outLimit,
    int timeoutMs, const std::function<void(const QByteArray&)>& onOutput = {});

// A user name that can go on a command line as it is.
bool validUser(const QString& user);

// ssh's options: the key, the port, no questions, a bounded connect.
QStringList sshOptions(const SshTarget& target);
// The options, the user and the destination.
QStringList sshArguments(const SshTarget& target);

// The same as one string for rsync's -e, each argument quoted as rsync splits it.
QString rsyncShell(const SshTarget& target);

// rsync's name for `path` on the register: USER@HOST:PATH.
QString remotePath(const SshTarget& target, const QString& path);

// The register's status as `vesk-status --json` prints it there (also when it says the service
// stopped), or nothing with `error` set.
std::optional<QJsonObject> readStatus(const SshTarget& target, QString& error);

// Seconds ssh and rsync may stay silent before they give up on a register.
constexpr int remoteTimeoutSeconds = 60;

} // namespace vesk::manage
