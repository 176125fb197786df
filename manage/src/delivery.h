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

// Tells from a register's status whether our delivery went in, or was refused, without trusting
// either clock: the status names the delivery whose playlist it applied ("playing") and the one it
// last looked at ("sync"), each by the XXH64 of its TF, which we compute of ours. A look counts
// only when it is newer than the one before our TF went.
//
// One subtlety: the same TF delivered again after a refusal (the damaged file now sent again) may
// meet a retry of the register that ended just before our TF went, still refusing it. When the
// look before named our TF unsettled, the first new look is not taken as a refusal; the one after
// it is.
class DeliveryWatch
{
public:
    enum class Verdict {
        waiting,
        played,
        refused,
    };

    // `tf`: the TF delivered; `before`: the register's status read just before it went.
    DeliveryWatch(const QByteArray& tf, const QJsonObject& before);

    // One look at the register's status (empty when it could not be read).
    Verdict look(const QJsonObject& status);

    // Our delivery as the status names it.
    const QString& delivery() const { return m_delivery; }
    // The newest look at our delivery since it went; empty before there is one.
    const QJsonObject& latest() const { return m_latest; }

private:
    QString m_delivery;
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
