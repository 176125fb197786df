#include "fleetview.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace vesk::manage {

namespace {

// A sending register's progress, as a line of its own when no terminal redraws it.
constexpr qint64 progressLineMs = 5000;
constexpr qint64 redrawMs = 100;
// A register's line is cut here: a reason from the register can be long.
constexpr qsizetype rowWidth = 160;

void jsonLine(const QJsonObject& object)
{
    report(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

int terminalRows()
{
    winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return 24;
}

} // namespace

FleetView::FleetView(Mode mode, QStringList names, QString heading)
    : m_mode(mode)
    , m_names(std::move(names))
    , m_heading(std::move(heading))
    , m_rows(m_names.size())
{
    if (m_mode == Mode::single)
        m_progress = std::make_unique<ProgressLine>();
    if (m_mode == Mode::lines)
        note(m_heading);
}

QString FleetView::rowText(qsizetype index) const
{
    const DeliveryEvent& event = m_rows[index].event;
    QString text
        = QStringLiteral("%1  %2").arg(m_names[index], -16).arg(stageText(event.stage), -14);
    if (!event.text.isEmpty())
        text += u' ' + event.text;
    return text.left(rowWidth);
}

void FleetView::changed(qsizetype index, const DeliveryEvent& event)
{
    Row& row = m_rows[index];
    const bool newStage = row.event.stage != event.stage;
    row.event = event;
    switch (m_mode) {
    case Mode::single:
        if (event.stage == Stage::sending) {
            m_progress->show(event.text);
            return;
        }
        m_progress->finish();
        if (event.stage == Stage::played || event.stage == Stage::refused)
            report(event.text);
        else if (event.stage != Stage::connecting && event.stage != Stage::sendingTf)
            note(event.text);
        return;
    case Mode::json:
        if (event.stage == Stage::sending && !newStage && row.shown.isValid()
            && row.shown.elapsed() < progressLineMs)
            return;
        row.shown.start();
        jsonLine({ { "register", m_names[index] }, { "stage", stageText(event.stage) },
            { "text", event.text },
            { "percent", event.percent >= 0 ? QJsonValue(event.percent) : QJsonValue() } });
        return;
    case Mode::lines:
        if (event.stage == Stage::sending && !newStage && row.shown.isValid()
            && row.shown.elapsed() < progressLineMs)
            return;
        row.shown.start();
        note(QStringLiteral("%1: %2: %3").arg(m_names[index], stageText(event.stage), event.text));
        return;
    case Mode::live:
        m_dirty = true;
        if (!m_drawnAt.isValid() || m_drawnAt.elapsed() >= redrawMs)
            draw();
        return;
    }
}

void FleetView::idle()
{
    if (m_mode == Mode::live && m_dirty)
        draw();
}

void FleetView::draw()
{
    FleetSummary summary;
    int active = 0;
    int queued = 0;
    for (const Row& row : std::as_const(m_rows)) {
        if (isFinal(row.event.stage))
            summary.count(row.event.stage);
        else if (row.event.stage == Stage::queued)
            ++queued;
        else
            ++active;
    }
    QStringList lines { QStringLiteral("%1: %2, %3 under way, %4 queued")
                            .arg(m_heading, summary.text(m_rows.size()))
                            .arg(active)
                            .arg(queued) };
    const bool fold = m_rows.size() + 1 >= terminalRows();
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        const Stage stage = m_rows[i].event.stage;
        if (fold && (stage == Stage::played || stage == Stage::queued))
            continue;
        lines << rowText(i);
    }
    QByteArray out;
    // Back to the top of what was drawn, then every line anew; lines left over are cleared.
    if (m_drawn > 0)
        out += "\r\033[" + QByteArray::number(m_drawn) + "A";
    for (const QString& line : std::as_const(lines))
        out += "\r\033[K" + line.toLocal8Bit() + '\n';
    for (int i = int(lines.size()); i < m_drawn; ++i)
        out += "\r\033[K\n";
    const int drawn = std::max(m_drawn, int(lines.size()));
    if (drawn > int(lines.size()))
        out += "\033[" + QByteArray::number(drawn - int(lines.size())) + "A";
    m_drawn = int(lines.size());
    std::fwrite(out.constData(), 1, std::size_t(out.size()), stderr);
    std::fflush(stderr);
    m_drawnAt.start();
    m_dirty = false;
}

void FleetView::finish(const QList<DeliveryEvent>& last, const FleetSummary& summary)
{
    if (m_mode == Mode::single) {
        m_progress->finish();
        return;
    }
    if (m_mode == Mode::json) {
        jsonLine({ { "summary",
            QJsonObject { { "played", summary.played }, { "refused", summary.refused },
                { "unreachable", summary.unreachable }, { "stillRetrying", summary.unsettled },
                { "failed", summary.failed }, { "exitStatus", summary.exitStatus() } } } });
        return;
    }
    if (m_mode == Mode::live) {
        m_dirty = true;
        draw();
    }
    for (qsizetype i = 0; i < last.size(); ++i) {
        const QString stage = stageText(last[i].stage);
        // "played: 3 files, ..." names its stage already; "ssh: connect to ..." does not.
        report(last[i].text.startsWith(stage + u':')
                ? QStringLiteral("%1: %2").arg(m_names[i], last[i].text)
                : QStringLiteral("%1: %2: %3").arg(m_names[i], stage, last[i].text));
    }
    report(summary.text());
}

} // namespace vesk::manage
