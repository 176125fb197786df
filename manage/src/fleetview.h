// Internal to vesk-manage, not API.
#pragma once

#include "console.h"
#include "delivery.h"
#include "fleetrun.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace vesk::manage {

// What a deliver run shows while it goes on and when it ends. Called on one thread.
//
// - single: one register, as deliver always told it: progress and notes on standard error, the
//   verdict ("played: ...", "refused: ...") on standard output.
// - live: on a terminal, one line per register (its stage and what it last said) under a total,
//   redrawn in place on standard error; registers that played fold into the total when the
//   terminal is too short for all.
// - lines: elsewhere, a line on standard error per change ("shop-1: sending: media: 40%, ..."),
//   a sending register's progress at most every few seconds.
// - json: one JSON object per change on standard output, {"register", "stage", "text",
//   "percent"}, and at the end {"summary": {...}}.
// Except in json, the end is a line per register on standard output and the summary.
class FleetView
{
public:
    enum class Mode {
        single,
        live,
        lines,
        json,
    };

    FleetView(Mode mode, QStringList names, QString heading);
    FleetView(const FleetView&) = delete;
    FleetView& operator=(const FleetView&) = delete;

    void changed(qsizetype index, const DeliveryEvent& event);
    void idle();
    void finish(const QList<DeliveryEvent>& last, const FleetSummary& summary);

private:
    struct Row
    {
        DeliveryEvent event;
        QElapsedTimer shown;
    };
    void draw();
    QString rowText(qsizetype index) const;

    Mode m_mode;
    QStringList m_names;
    QString m_heading;
    QList<Row> m_rows;
    int m_drawn = 0;
    bool m_dirty = false;
    QElapsedTimer m_drawnAt;
    std::unique_ptr<ProgressLine> m_progress;
};

} // namespace vesk::manage
