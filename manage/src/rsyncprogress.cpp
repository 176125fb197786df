#include "rsyncprogress.h"

#include <QList>
#include <QRegularExpression>

namespace vesk::manage {

namespace {

constexpr qsizetype maxPartial = 4096;

} // namespace

QString RsyncProgress::text() const
{
    QString line = QStringLiteral("media: %1%, %2 bytes at %3").arg(percent).arg(bytes).arg(rate);
    if (transferred >= 0)
        line += QStringLiteral(", %1 files sent").arg(transferred);
    if (toCheck >= 0)
        line += QStringLiteral(", %1 of %2 to check").arg(toCheck).arg(total);
    return line;
}

std::optional<RsyncProgress> RsyncProgressReader::parse(const QByteArray& report)
{
    static const QRegularExpression rule(QStringLiteral(
        R"(^\s*([\d.,]+)\s+(\d{1,3})%\s+(\S+/s)\s+\S+(?:\s+\(xfr#(\d+), (?:to|ir)-chk=(\d+)/(\d+)\))?\s*$)"));
    const QRegularExpressionMatch match = rule.match(QString::fromLatin1(report));
    if (!match.hasMatch())
        return std::nullopt;
    RsyncProgress progress;
    QString digits = match.captured(1);
    digits.remove(u',').remove(u'.');
    progress.bytes = digits.toLongLong();
    progress.percent = match.captured(2).toInt();
    progress.rate = match.captured(3);
    if (match.hasCaptured(4)) {
        progress.transferred = match.captured(4).toLongLong();
        progress.toCheck = match.captured(5).toLongLong();
        progress.total = match.captured(6).toLongLong();
    }
    return progress;
}

std::optional<RsyncProgress> RsyncProgressReader::feed(const QByteArray& piece)
{
    m_partial += piece;
    std::optional<RsyncProgress> last;
    qsizetype start = 0;
    for (qsizetype i = 0; i < m_partial.size(); ++i) {
        if (m_partial[i] != '\r' && m_partial[i] != '\n')
            continue;
        if (auto progress = parse(m_partial.sliced(start, i - start)))
            last = progress;
        start = i + 1;
    }
    m_partial.remove(0, start);
    if (m_partial.size() > maxPartial)
        m_partial.clear();
    return last;
}

} // namespace vesk::manage
