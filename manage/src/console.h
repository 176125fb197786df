// Internal to vesk-manage, not API.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace vesk::manage {

// A line on standard output: results, what a script reads.
void report(const QString& line);
// "vesk-manage: " and a line on standard error: progress and failures.
void note(const QString& line);
// note() and a status to return.
int fail(int status, const QString& line);

// One line of progress on standard error, redrawn in place on a terminal; elsewhere (a log, a
// pipe) a new line at most once a second, so a long transfer does not flood it.
class ProgressLine
{
public:
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void show(const QString& text);
    // Leaves the last text standing.
    void finish();

private:
    bool m_terminal;
    QElapsedTimer m_shown;
    QString m_pending;
    bool m_open = false;
};

} // namespace vesk::manage
