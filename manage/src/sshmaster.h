// Internal to vesk-manage, not API.
#pragma once

#include "remote.h"

#include <QProcess>
#include <QTemporaryDir>

namespace vesk::manage {

// One ssh connection to a register that the commands of a delivery share (rsync's two calls and
// every look at the register), instead of a login for each: faster looks, and far fewer logins
// for the register's sshd to serve. The connection is a child of ours that dies with us; its
// socket lies in a private directory removed at the end.
//
// Never fails: when the connection cannot be made, target() still works and each command logs in
// by itself (and says why it cannot, if it cannot).
class SshMaster
{
public:
    explicit SshMaster(const SshTarget& target, int timeoutMs = 15000);
    ~SshMaster();
    SshMaster(const SshMaster&) = delete;
    SshMaster& operator=(const SshMaster&) = delete;

    // The target with the options that route its commands through the shared connection.
    const SshTarget& target() const { return m_target; }
    // ssh's own words when it gave up on the register (no route, no answer within its connect
    // time-out, the host key or our key refused): no other command would get through either.
    // Empty when the connection stands, or failed for a reason of ours.
    const QString& unreachable() const { return m_unreachable; }

private:
    SshTarget m_target;
    QString m_unreachable;
    QTemporaryDir m_directory;
    QProcess m_master;
};

} // namespace vesk::manage
