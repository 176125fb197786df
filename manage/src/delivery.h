// Internal to vesk-manage, not API.
#pragma once

#include "content.h"
#include "remote.h"

#include <vesk/file/descriptor.h>

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
    // rsync's --bwlimit, KiB per second; 0 sends as fast as the line allows.
    int bandwidthKiB = 0;
};

// How far a delivery to one register has come. The last five are where it ends.
enum class Stage {
    queued,
    connecting,
    sending,
    sendingTf,
    held,
    verifying,
    played,
    refused,
    unreachable,
    failed,
    unsettled,
};

bool isFinal(Stage stage);
// "sending", "TF held", "still retrying", ...: for views and JSON.
QString stageText(Stage stage);
// The exit status of a delivery that ended so: 0 played, 1 refused, 3 otherwise.
int exitStatusOf(Stage stage);

// One step of a delivery as it is told: the stage and a line that says it ("media: 67%, ...",
// "refused: a file does not match its checksum in TF"); the percent of the media sent so far
// while sending.
struct DeliveryEvent
{
    Stage stage = Stage::queued;
    QString text;
    int percent = -1;
};

// Called on the thread that delivers, for each step.
using DeliveryEvents = std::function<void(const DeliveryEvent&)>;

// A delivery directory checked, its TF written, and a hold on it: shared while TF is read and
// sent, so that runs of the same content go side by side, exclusive while TF is written, so that
// no run lists another's half-written TF as media or sends a TF of other content than it checked.
// The hold ends with release() or with the object.
class PreparedContent
{
public:
    const Content& content() const { return m_content; }
    // The delivery as the register's status will name it.
    const QString& delivery() const { return m_delivery; }
    void release() { m_hold.reset(); }

    // `waiting` is called, once, before a wait for another run's hold. Nothing, with `error` set,
    // when the directory is no delivery or TF cannot be written.
    static std::optional<PreparedContent> prepare(
        const QString& directory, const std::function<void()>& waiting, QString& error);

private:
    Content m_content;
    QString m_delivery;
    file::Descriptor m_hold;
};

// Sends the media and then TF to one register, sends TF again while the register holds it, and
// waits for the register's verdict, all within the options' bounds (ssh's connect time-out,
// rsync's --timeout, --wait). Blocks; safe on any thread, one call per register at a time.
// Returns the last event, which `tell` has seen too.
DeliveryEvent deliverTo(
    const DeliverOptions& options, const Content& content, const DeliveryEvents& tell);

// Our delivery as the register's status names it: the XXH64 of its TF.
QString deliveryOf(const QByteArray& tf);

} // namespace vesk::manage
