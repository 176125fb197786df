#include "fleetmetrics.h"

namespace vesk::manage {

namespace {

// Backslash, double quote and line feed are the three characters a label value escapes.
QByteArray labelValue(const QString& text)
{
    QByteArray value;
    for (const char c : text.toUtf8()) {
        if (c == '\\' || c == '"')
            value += '\\';
        if (c == '\n')
            value += "\\n";
        else
            value += c;
    }
    return value;
}

class Exposition
{
public:
    void family(const char* name, const char* type, const char* help)
    {
        m_name = name;
        m_text
            += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }

    void sample(const char* label, const QString& value, double number)
    {
        m_text += m_name;
        if (label)
            m_text += QByteArray("{") + label + "=\"" + labelValue(value) + "\"}";
        m_text += ' ' + QByteArray::number(number, 'g', 15) + '\n';
    }

    void sample(const char* label, const QString& value, quint64 number)
    {
        m_text += m_name;
        if (label)
            m_text += QByteArray("{") + label + "=\"" + labelValue(value) + "\"}";
        m_text += ' ' + QByteArray::number(number) + '\n';
    }

    QByteArray text() const { return m_text; }

private:
    QByteArray m_name;
    QByteArray m_text;
};

} // namespace

QByteArray metricsText(const HeartbeatTable& table, const DarkWatch& watch,
    const HookRunner::Counters& hooks, const QDateTime& now)
{
    const QList<HeartbeatTable::Row>& rows = table.rows();
    Exposition out;
    out.family("vesk_manage_registers", "gauge", "Registers paired here and listened for.");
    out.sample(nullptr, {}, quint64(rows.size()));

    out.family("vesk_manage_register_up", "gauge",
        "1 while the register beats, 0 when it is dark or has not beaten yet.");
    for (const HeartbeatTable::Row& row : rows)
        out.sample("register", row.name,
            quint64(watch.entry(row.name).state == DarkWatch::State::alive ? 1 : 0));

    out.family("vesk_manage_register_last_beat_age_seconds", "gauge",
        "Seconds since the register's last beat came.");
    for (const HeartbeatTable::Row& row : rows)
        if (row.received)
            out.sample("register", row.name, row.received->msecsTo(now) / 1000.0);

    out.family("vesk_manage_register_beats_total", "counter",
        "Beats received from the register since it was paired or the listener started.");
    for (const HeartbeatTable::Row& row : rows)
        out.sample("register", row.name, row.beats);

    out.family("vesk_manage_register_beats_missed_total", "counter",
        "Beats the register missed since it was paired or the listener started.");
    for (const HeartbeatTable::Row& row : rows)
        out.sample("register", row.name, table.missed(row, now));

    out.family("vesk_manage_register_clock_offset_seconds", "gauge",
        "The register's clock against ours at its last beat (ahead > 0).");
    for (const HeartbeatTable::Row& row : rows)
        if (const auto offset = row.clockOffsetMs())
            out.sample("register", row.name, *offset / 1000.0);

    const HeartbeatTable::Counters& c = table.counters();
    out.family("vesk_manage_beats_accepted_total", "counter", "Datagrams taken as beats.");
    out.sample(nullptr, {}, c.accepted);
    out.family("vesk_manage_datagrams_refused_total", "counter", "Datagrams refused, by cause.");
    const std::pair<const char*, quint64> causes[]
        = { { "oversized", c.oversized }, { "malformed", c.malformed },
              { "unknown_token", c.unknown }, { "forged", c.forged }, { "replayed", c.replayed } };
    for (const auto& [cause, count] : causes)
        out.sample("cause", QString::fromLatin1(cause), count);

    out.family("vesk_manage_hooks_total", "counter",
        "Hooks for a register gone dark or back, by how they ended.");
    const std::pair<const char*, quint64> outcomes[] = { { "succeeded", hooks.succeeded },
        { "failed", hooks.failed }, { "killed", hooks.killed }, { "dropped", hooks.dropped } };
    for (const auto& [outcome, count] : outcomes)
        out.sample("outcome", QString::fromLatin1(outcome), count);
    return out.text();
}

} // namespace vesk::manage
