#include "console.h"

#include <unistd.h>

namespace vesk::manage {

namespace {

constexpr qint64 terminalRedrawMs = 100;
constexpr qint64 logLineMs = 1000;

} // namespace

void report(const QString& line)
{
    std::fputs((line + u'\n').toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void note(const QString& line)
{
    std::fputs(("vesk-manage: " + line + u'\n').toLocal8Bit().constData(), stderr);
}

int fail(int status, const QString& line)
{
    note(line);
    return status;
}

ProgressLine::ProgressLine()
    : m_terminal(::isatty(STDERR_FILENO) == 1)
{
}

ProgressLine::~ProgressLine()
{
    finish();
}

void ProgressLine::show(const QString& text)
{
    m_pending = text;
    if (m_shown.isValid() && m_shown.elapsed() < (m_terminal ? terminalRedrawMs : logLineMs))
        return;
    m_shown.start();
    const QByteArray line = text.toLocal8Bit();
    if (m_terminal)
        std::fprintf(stderr, "\r\033[K%s", line.constData());
    else
        std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
    m_open = m_terminal;
    m_pending.clear();
}

void ProgressLine::finish()
{
    if (!m_pending.isEmpty()) {
        m_shown.invalidate();
        show(m_pending);
    }
    if (m_open)
        std::fputc('\n', stderr);
    m_open = false;
}

} // namespace vesk::manage
