// Internal to vesk-manage, not API.
#pragma once

#include "remote.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace vesk::manage {

// Exit statuses of vesk-manage deliver (and, where they apply, of the other commands).
enum ExitStatus : int {
    exitDone = 0,
    exitRefused = 1,
    exitUsage = 2,
    exitTransport = 3,
    exitIncomplete = 4,
};

// Tells from what a register shows whether our delivery went in, or was refused, without
// trusting either clock: the played TF is compared with ours, and the status's look at the sync
// directory ("sync") counts only when it is newer than the one before our TF went.
//
// One subtlety: when the register was still retrying an earlier delivery that had not gone in,
// one look of that retry may end just before our TF arrives and show a refusal of the earlier
// TF. Then the first new look is not taken as a refusal of ours; the one after it is.
class DeliveryWatch
{
public:
    enum class Verdict {
        waiting,
        played,
        refused,
    };

    // `ours`: the TF delivered; `before`: the register's status read just before it went.
    DeliveryWatch(QByteArray ours, const QJsonObject& before);

    // One look: the TF the register plays (empty when unknown) and its status (empty when it
    // could not be read).
    Verdict look(const QByteArray& played, const QJsonObject& status);

    // The newest look at the sync directory since the delivery; empty before there is one.
    const QJsonObject& latest() const { return m_latest; }

private:
    QByteArray m_ours;
    QJsonObject m_before;
    bool m_unsettled = false;
    QJsonObject m_first;
    QJsonObject m_latest;
};

struct DeliverOptions
{
    SshTarget target;
    QString directory;
    // The register's sync directory, as its pairing answer named it.
    QString catalog;
    // Compare the media by content, not by size and time: after a refusal for a damaged file.
    bool checksum = false;
    int waitSeconds = 300;
};

// Checks the directory, writes its TF, sends the media and then TF as the register wants it,
// sends TF again while the register holds it, and waits for the register's verdict. Progress on
// standard error, the verdict on standard output; returns the exit status.
int deliver(const DeliverOptions& options);

} // namespace vesk::manage
