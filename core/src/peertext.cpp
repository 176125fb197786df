#include "peertext.h"

namespace vesk::detail {

namespace {

void appendShown(QString& shown, QChar c)
{
    const char16_t code = c.unicode();
    if (code == u'\n')
        shown += QStringLiteral("\\n");
    else if (code == u'\r')
        shown += QStringLiteral("\\r");
    else if (code == u'\t')
        shown += QStringLiteral("\\t");
    else if (code < 0x20 || (code >= 0x7f && code <= 0x9f))
        shown += QStringLiteral("\\x%1").arg(unsigned(code), 2, 16, QLatin1Char('0'));
    else
        shown += c;
}

} // namespace

QString peerTextForLog(const QString& text, qsizetype limit)
{
    QString shown;
    qsizetype taken = 0;
    for (; taken < text.size() && shown.size() < limit; ++taken)
        appendShown(shown, text[taken]);
    if (taken == text.size())
        return shown;
    shown.truncate(limit);
    return shown + QStringLiteral("…[cut: %1 characters]").arg(text.size());
}

} // namespace vesk::detail
