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
    return { QStringLiteral("--timeout=%1").arg(remoteTimeoutSeconds), QStringLiteral("-e"),
        rsyncShell(options.target) };
}

bool sendMedia(const DeliverOptions& options, const Content& content)
{
    QStringList arguments = rsyncBase(options);
    arguments << QStringLiteral("-rt") << QStringLiteral("--delete")
              << QStringLiteral("--exclude=/TF") << QStringLiteral("--info=progress2");
    if (options.checksum)
        arguments << QStringLiteral("--checksum");
    arguments << options.directory + u'/' << remotePath(options.target, options.catalog + u'/');
    ProgressLine progress;
    progress.show(QStringLiteral("media: %1 files, %2 bytes to compare with the register's")
                      .arg(content.files.size())
                      .arg(content.bytes));
    RsyncProgressReader reader;
    const ProgramRun run = runProgram(
        QStringLiteral("rsync"), arguments, 0, transferLimitMs, [&](const QByteArray& piece) {
            if (const std::optional<RsyncProgress> report = reader.feed(piece))
                progress.show(report->text());
        });
    progress.finish();
    if (run.status != 0)
        note(
            QStringLiteral("sending the media failed (rsync %1): %2").arg(run.ending(), said(run)));
    return run.status == 0;
}

bool heldByRegister(const ProgramRun& run)
{
    static const QRegularExpression rename(
        QStringLiteral(R"(rename "[^"\n]*" -> "TF": Operation not permitted)"));
    return run.status == rsyncPartial && rename.match(QString::fromUtf8(run.err)).hasMatch();
}

// Sends TF until the register takes it. The register's status just before the try that went in
// is what the verdict compares with; nothing when TF could not be sent.
std::optional<QJsonObject> sendTransactionFile(
    const DeliverOptions& options, const QDeadlineTimer& deadline)
{
    QStringList arguments = rsyncBase(options);
    arguments << QStringLiteral("-t") << QStringLiteral("--checksum")
              << options.directory + QStringLiteral("/TF")
              << remotePath(options.target, options.catalog + QStringLiteral("/TF"));
    for (std::size_t attempt = 0;; ++attempt) {
        QString unread;
        const QJsonObject before = readStatus(options.target, unread).value_or(QJsonObject {});
        const ProgramRun run
            = runProgram(QStringLiteral("rsync"), arguments, 64 * 1024, transferLimitMs);
        if (run.status == 0)
            return before;
        if (!heldByRegister(run)) {
            note(QStringLiteral("sending TF failed (rsync %1): %2").arg(run.ending(), said(run)));
            return std::nullopt;
        }
        const int pause = tfPauses[std::min(attempt, tfPauses.size() - 1)];
        if (deadline.remainingTime() < pause * 1000) {
            note(QStringLiteral("the register held TF the whole time (it verifies a delivery)"));
            return std::nullopt;
        }
        note(QStringLiteral("TF held by the register while it verifies a delivery; again in %1 s")
                 .arg(pause));
        QThread::sleep(pause);
    }
}

// Our delivery as the register's status names it.
QString deliveryOf(const QByteArray& tf)
{
    return vesk::status::deliveryText(protocol::xxh64(tf));
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

int awaitVerdict(const DeliverOptions& options, const Content& content, const QJsonObject& before,
    const QDeadlineTimer& deadline)
{
    DeliveryWatch watch(content.transactionFile, before);
    QJsonObject told;
    while (!deadline.hasExpired()) {
        QThread::msleep(lookPauseMs);
        QString unread;
        const QJsonObject status = readStatus(options.target, unread).value_or(QJsonObject {});
        const DeliveryWatch::Verdict verdict = watch.look(status);
        if (verdict == DeliveryWatch::Verdict::played) {
            report(QStringLiteral("played: %1 files, %2 bytes")
                       .arg(content.files.size())
                       .arg(content.bytes));
            return exitDone;
        }
        if (verdict == DeliveryWatch::Verdict::refused) {
            report(QStringLiteral("refused: %1")
                       .arg(log::peerText(watch.latest()
                                              .value(vesk::status::key::reason)
                                              .toString(QStringLiteral("no reason given")))));
            return exitRefused;
        }
        if (!watch.latest().isEmpty() && watch.latest() != told) {
            told = watch.latest();
            note(QStringLiteral("the register: %1").arg(syncText(told)));
        }
    }
    return fail(exitTransport,
        QStringLiteral("the register did not play the delivery within %1 s; its last look: %2")
            .arg(options.waitSeconds)
            .arg(unsettledText(watch)));
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

int deliver(const DeliverOptions& given)
{
    DeliverOptions options = given;
    QString error;
    const std::optional<Content> content = readContent(options.directory, error);
    if (!content)
        return fail(exitIncomplete,
            QStringLiteral("%1 is not a delivery: %2").arg(options.directory, error));
    try {
        const QByteArray tf = (options.directory + QStringLiteral("/TF")).toUtf8();
        file::save2file(std::filesystem::path(tf.constData(), tf.constData() + tf.size()),
            content->transactionFile, 0644);
    } catch (const std::exception& e) {
        return fail(exitIncomplete, QStringLiteral("cannot write TF: %1").arg(e.what()));
    }
    const SshMaster connection(options.target);
    options.target = connection.target();
    if (!sendMedia(options, *content))
        return exitTransport;
    const QDeadlineTimer deadline(qint64(options.waitSeconds) * 1000);
    const std::optional<QJsonObject> before = sendTransactionFile(options, deadline);
    if (!before)
        return exitTransport;
    note(QStringLiteral("TF sent; waiting for the register to play it"));
    return awaitVerdict(options, *content, *before, deadline);
}

} // namespace vesk::manage
