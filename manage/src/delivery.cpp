#include "delivery.h"

#include "console.h"
#include "content.h"
#include "rsyncprogress.h"
#include "sshmaster.h"
#include <vesk/log/peertext.h>
#include <vesk/protocol/status.h>
#include <vesk/protocol/transactionfile.h>

#include <vesk/file/fileoperations.h>

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QThread>

#include <array>
#include <variant>

#include <sys/file.h>

namespace vesk::manage {

namespace {

// rsync's status for "some files/attrs were not transferred": with the rename of TF refused, the
// register holds TF while it verifies a delivery.
constexpr int rsyncPartial = 23;
// Seconds between the tries of TF while the register holds it; the last one repeats.
constexpr std::array tfPauses { 1, 2, 4, 8, 15, 30, 60 };
// Between two reads of the register's status. Each runs a command on the register, and a verified
// delivery takes seconds: a look a half second is prompt enough.
constexpr unsigned long lookPauseMs = 500;
// No transfer takes a day; rsync's own --timeout ends one that stalls long before.
constexpr int transferLimitMs = 24 * 3600 * 1000;

QString said(const ProgramRun& run)
{
    const QList<QByteArray> lines = run.err.trimmed().split('\n');
    QStringList last;
    for (qsizetype i = std::max<qsizetype>(0, lines.size() - 10); i < lines.size(); ++i)
        last << log::peerText(QString::fromUtf8(lines[i]).trimmed(), 300);
    return last.join(QStringLiteral(" | "));
}

QString syncText(const QJsonObject& sync)
{
    QString text
        = log::peerText(sync.value(vesk::status::key::outcome).toString(QStringLiteral("?")), 100);
    if (sync.contains(vesk::status::key::reason))
        text += QStringLiteral(": ")
            + log::peerText(sync.value(vesk::status::key::reason).toString());
    return text;
}

QStringList rsyncBase(const DeliverOptions& options)
{
    QStringList arguments { QStringLiteral("--timeout=%1").arg(remoteTimeoutSeconds),
        QStringLiteral("-e"), rsyncShell(options.target) };
    if (options.bandwidthKiB > 0)
        arguments << QStringLiteral("--bwlimit=%1").arg(options.bandwidthKiB);
    return arguments;
}

// rsync's statuses when ssh could not reach the register or lost it, and when the register went
// silent for --timeout. A closed stream (12) is not among them: that is also how a register's
// gate ends a command it refuses.
constexpr int rsyncShellFailed = 255;
constexpr int rsyncTimedOut = 30;

DeliveryEvent rsyncFailure(const QString& what, const ProgramRun& run)
{
    const Stage stage = run.status == rsyncShellFailed || run.status == rsyncTimedOut
        ? Stage::unreachable
        : Stage::failed;
    return { stage, QStringLiteral("%1 failed (rsync %2): %3").arg(what, run.ending(), said(run)) };
}

std::optional<DeliveryEvent> sendMedia(
    const DeliverOptions& options, const Content& content, const DeliveryEvents& tell)
{
    QStringList arguments = rsyncBase(options);
    // Another run's TF being written is no medium (it holds the directory only meanwhile).
    arguments << QStringLiteral("-rt") << QStringLiteral("--delete")
              << QStringLiteral("--exclude=/TF") << QStringLiteral("--exclude=/.TF.*")
              << QStringLiteral("--info=progress2");
    if (options.checksum)
        arguments << QStringLiteral("--checksum");
    arguments << options.directory + u'/' << remotePath(options.target, options.catalog + u'/');
    tell({ Stage::sending,
        QStringLiteral("media: %1 files, %2 bytes to compare with the register's")
            .arg(content.files.size())
            .arg(content.bytes),
        0 });
    RsyncProgressReader reader;
    const ProgramRun run = runProgram(
        QStringLiteral("rsync"), arguments, 0, transferLimitMs, [&](const QByteArray& piece) {
            if (const std::optional<RsyncProgress> report = reader.feed(piece))
                tell({ Stage::sending, report->text(), report->percent });
        });
    if (run.status != 0)
        return rsyncFailure(QStringLiteral("sending the media"), run);
    return std::nullopt;
}

bool heldByRegister(const ProgramRun& run)
{
    static const QRegularExpression rename(
        QStringLiteral(R"(rename "[^"\n]*" -> "TF": Operation not permitted)"));
    return run.status == rsyncPartial && rename.match(QString::fromUtf8(run.err)).hasMatch();
}

// Sends TF until the register takes it. The register's status just before the try that went in
// is what the verdict compares with; otherwise how it ended.
std::variant<QJsonObject, DeliveryEvent> sendTransactionFile(
    const DeliverOptions& options, const QDeadlineTimer& deadline, const DeliveryEvents& tell)
{
    QStringList arguments = rsyncBase(options);
    arguments << QStringLiteral("-t") << QStringLiteral("--checksum")
              << options.directory + QStringLiteral("/TF")
              << remotePath(options.target, options.catalog + QStringLiteral("/TF"));
    tell({ Stage::sendingTf, QStringLiteral("media sent; sending TF") });
    for (std::size_t attempt = 0;; ++attempt) {
        QString unread;
        const QJsonObject before = readStatus(options.target, unread).value_or(QJsonObject {});
        const ProgramRun run
            = runProgram(QStringLiteral("rsync"), arguments, 64 * 1024, transferLimitMs);
        if (run.status == 0)
            return before;
        if (!heldByRegister(run))
            return rsyncFailure(QStringLiteral("sending TF"), run);
        const int pause = tfPauses[std::min(attempt, tfPauses.size() - 1)];
        if (deadline.remainingTime() < pause * 1000)
            return DeliveryEvent { Stage::unsettled,
                QStringLiteral("the register held TF the whole time (it verifies a delivery)") };
        tell({ Stage::held,
            QStringLiteral("TF held by the register while it verifies a delivery; again in %1 s")
                .arg(pause) });
        QThread::sleep(pause);
    }
}

bool names(const QJsonObject& object, const QString& delivery)
{
    return object.value(vesk::status::key::delivery).toString() == delivery;
}

// What the wait ends with when the register neither played nor refused our delivery.
QString unsettledText(const DeliveryWatch& watch)
{
    const QJsonObject& latest = watch.latest();
    if (latest.isEmpty())
        return QStringLiteral("none of TF %1 since the delivery").arg(watch.delivery());
    if (latest.value(vesk::status::key::outcome).toString()
        == vesk::status::outcomeText(vesk::status::SyncOutcome::switched))
        return QStringLiteral("switched to it, but its playlist was not applied");
    return syncText(latest);
}

DeliveryEvent awaitVerdict(const DeliverOptions& options, const Content& content,
    const QJsonObject& before, const QDeadlineTimer& deadline, const DeliveryEvents& tell)
{
    DeliveryWatch watch(content.transactionFile, before);
    tell({ Stage::verifying, QStringLiteral("TF sent; waiting for the register to play it") });
    QJsonObject told;
    while (!deadline.hasExpired()) {
        QThread::msleep(lookPauseMs);
        QString unread;
        const QJsonObject status = readStatus(options.target, unread).value_or(QJsonObject {});
        const DeliveryWatch::Verdict verdict = watch.look(status);
        if (verdict == DeliveryWatch::Verdict::played)
            return { Stage::played,
                QStringLiteral("played: %1 files, %2 bytes")
                    .arg(content.files.size())
                    .arg(content.bytes) };
        if (verdict == DeliveryWatch::Verdict::refused)
            return { Stage::refused,
                QStringLiteral("refused: %1")
                    .arg(log::peerText(watch.latest()
                                           .value(vesk::status::key::reason)
                                           .toString(QStringLiteral("no reason given")))) };
        if (!watch.latest().isEmpty() && watch.latest() != told) {
            told = watch.latest();
            tell({ Stage::verifying, QStringLiteral("the register: %1").arg(syncText(told)) });
        }
    }
    return { Stage::unsettled,
        QStringLiteral("the register did not play the delivery within %1 s; its last look: %2")
            .arg(options.waitSeconds)
            .arg(unsettledText(watch)) };
}

// A lock on the open directory; `waiting` is called before a wait for another holder.
void hold(int directory, int operation, const std::function<void()>& waiting)
{
    if (::flock(directory, operation | LOCK_NB) == 0)
        return;
    if (errno != EWOULDBLOCK)
        throw std::system_error(errno, std::generic_category(), "cannot lock the directory");
    if (waiting)
        waiting();
    while (::flock(directory, operation) != 0)
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "cannot lock the directory");
}

// The directory's TF as it stands, empty when there is none; at most `limit` bytes are read.
QByteArray currentTransactionFile(int directory, qint64 limit)
{
    std::error_code failure;
    const file::Descriptor tf
        = file::openInside(directory, "TF", file::EntryType::RegularFile, failure);
    if (!tf.isOpen())
        return {};
    try {
        return file::readAll(tf.get(), limit);
    } catch (const std::system_error&) {
        return {};
    }
}

} // namespace

DeliveryWatch::DeliveryWatch(const QByteArray& tf, const QJsonObject& before)
    : m_delivery(deliveryOf(tf))
    , m_before(before.value(vesk::status::key::sync).toObject())
{
    const QString outcome = m_before.value(vesk::status::key::outcome).toString();
    m_unsettled = names(m_before, m_delivery)
        && (outcome == vesk::status::outcomeText(vesk::status::SyncOutcome::refused)
            || outcome == vesk::status::outcomeText(vesk::status::SyncOutcome::retryPending));
}

DeliveryWatch::Verdict DeliveryWatch::look(const QJsonObject& status)
{
    if (names(status.value(vesk::status::key::playing).toObject(), m_delivery))
        return Verdict::played;
    const QJsonObject sync = status.value(vesk::status::key::sync).toObject();
    if (sync == m_before || !names(sync, m_delivery))
        return Verdict::waiting;
    if (m_first.isEmpty())
        m_first = sync;
    m_latest = sync;
    const bool refused = sync.value(vesk::status::key::outcome).toString()
        == vesk::status::outcomeText(vesk::status::SyncOutcome::refused);
    return refused && (!m_unsettled || sync != m_first) ? Verdict::refused : Verdict::waiting;
}

bool isFinal(Stage stage)
{
    return stage >= Stage::played;
}

QString stageText(Stage stage)
{
    switch (stage) {
    case Stage::queued:
        return QStringLiteral("queued");
    case Stage::connecting:
        return QStringLiteral("connecting");
    case Stage::sending:
        return QStringLiteral("sending");
    case Stage::sendingTf:
        return QStringLiteral("sending TF");
    case Stage::held:
        return QStringLiteral("TF held");
    case Stage::verifying:
        return QStringLiteral("verifying");
    case Stage::played:
        return QStringLiteral("played");
    case Stage::refused:
        return QStringLiteral("refused");
    case Stage::unreachable:
        return QStringLiteral("unreachable");
    case Stage::failed:
        return QStringLiteral("failed");
    case Stage::unsettled:
        return QStringLiteral("still retrying");
    }
    return {};
}

int exitStatusOf(Stage stage)
{
    if (stage == Stage::played)
        return exitDone;
    return stage == Stage::refused ? exitRefused : exitTransport;
}

QString deliveryOf(const QByteArray& tf)
{
    return vesk::status::deliveryText(protocol::xxh64(tf));
}

std::optional<PreparedContent> PreparedContent::prepare(
    const QString& directory, const std::function<void()>& waiting, QString& error)
{
    const QByteArray path = directory.toUtf8();
    PreparedContent prepared;
    try {
        prepared.m_hold = file::openDirectory(
            std::filesystem::path(path.constData(), path.constData() + path.size()));
        const int fd = prepared.m_hold.get();
        hold(fd, LOCK_SH, waiting);
        std::optional<Content> content = readContent(directory, error);
        // TF is written only when it changes: a repeated run then finds TF, and the register
        // the same TF it has, and resends nothing but what is missing.
        if (content
            && currentTransactionFile(fd, content->transactionFile.size() + 1)
                != content->transactionFile) {
            hold(fd, LOCK_EX, waiting);
            // Another run may have written TF between our look and our turn.
            content = readContent(directory, error);
            if (content)
                file::save2file(fd, "TF", content->transactionFile, 0644);
            hold(fd, LOCK_SH, {});
        }
        if (!content) {
            error = QStringLiteral("%1 is not a delivery: %2").arg(directory, error);
            return std::nullopt;
        }
        prepared.m_content = std::move(*content);
        prepared.m_delivery = deliveryOf(prepared.m_content.transactionFile);
        return prepared;
    } catch (const std::exception& e) {
        error = QStringLiteral("%1: cannot write TF: %2").arg(directory, e.what());
        return std::nullopt;
    }
}

DeliveryEvent deliverTo(
    const DeliverOptions& given, const Content& content, const DeliveryEvents& tell)
{
    const auto end = [&](const DeliveryEvent& event) {
        tell(event);
        return event;
    };
    DeliverOptions options = given;
    tell({ Stage::connecting,
        QStringLiteral("connecting to %1").arg(options.target.host.toString()) });
    const SshMaster connection(options.target);
    if (!connection.unreachable().isEmpty())
        return end({ Stage::unreachable, connection.unreachable() });
    options.target = connection.target();
    if (const std::optional<DeliveryEvent> failed = sendMedia(options, content, tell))
        return end(*failed);
    const QDeadlineTimer deadline(qint64(options.waitSeconds) * 1000);
    const auto sent = sendTransactionFile(options, deadline, tell);
    if (const auto* failed = std::get_if<DeliveryEvent>(&sent))
        return end(*failed);
    return end(awaitVerdict(options, content, std::get<QJsonObject>(sent), deadline, tell));
}

} // namespace vesk::manage
