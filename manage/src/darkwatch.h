// Internal to vesk-manage, not API.
#pragma once

#include "heartbeattable.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

namespace vesk::manage {

// A duration as an operator writes it: a whole number and a unit.
//
//   "90s" -> 90 s      "3m" -> 180 s     "1h" -> 3600 s     "250ms" -> 250 ms
//   "90" -> none (a unit is needed)      "-3m", "3 m", "1d", "" -> none
std::optional<std::chrono::milliseconds> parseDuration(const QString& text);

// Says when a register goes dark (no beat for `darkAfter`) and when it is back (a beat after
// being dark), once per change. A register starts out waiting: its first beat makes it alive
// without news, and one that never beats goes dark `darkAfter` after the table began waiting for
// it. The clock is passed in; not thread-safe, one owner, the table's.
class DarkWatch
{
public:
    enum class State {
        waiting,
        alive,
        dark,
    };

    struct Change
    {
        QString name;
        State state; // dark, or alive: back
        // Dark: the register's last beat (or, with none, since when it was waited for).
        // Back: the beat that brought it back.
        QDateTime since;
        // The register's index in the table's rows (check() only).
        qsizetype row = -1;
    };

    struct Entry
    {
        State state = State::waiting;
        QDateTime since;
    };

    explicit DarkWatch(std::chrono::milliseconds darkAfter);

    // After an accepted beat of `row`: the change it brings (back), if any.
    std::optional<Change> beat(const HeartbeatTable::Row& row);
    // The registers gone dark by `now`, in the table's order. A register unpaired is forgotten
    // once the table holds fewer registers than the watch; one paired again under the same name
    // keeps its state (a dark register is not said dark twice).
    QList<Change> check(const HeartbeatTable& table, const QDateTime& now);

    // Waiting for a register not seen by beat() or check() yet.
    Entry entry(const QString& name) const { return m_entries.value(name); }
    std::chrono::milliseconds darkAfter() const { return m_darkAfter; }

private:
    std::chrono::milliseconds m_darkAfter;
    QHash<QString, Entry> m_entries;
};

} // namespace vesk::manage
