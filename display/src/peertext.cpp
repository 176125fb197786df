#include "peertext.h"

namespace vesk::display {

QString peerText(QStringView text, qsizetype limit)
{
    const qsizetype shown = std::min(text.size(), limit);
    QString safe;
    safe.reserve(shown + 16);
    for (const QChar c : text.first(shown)) {
        const char16_t u = c.unicode();
        switch (u) {
        case '\\':
            safe += QLatin1String("\\\\");
            break;
        case '\n':
            safe += QLatin1String("\\n");
            break;
        case '\r':
            safe += QLatin1String("\\r");
            break;
        case '\t':
            safe += QLatin1String("\\t");
            break;
        case 0x1b:
            safe += QLatin1String("\\e");
            break;
        default:
            // Format characters and line separators reorder or break what a terminal shows.
            if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || c.category() == QChar::Other_Format
                || c.category() == QChar::Separator_Line
                || c.category() == QChar::Separator_Paragraph)
                safe += QString("\\u%1").arg(unsigned(u), 4, 16, QChar('0'));
            else
                safe += c;
        }
    }
    if (shown < text.size())
        safe += QString("... (%1 more characters)").arg(text.size() - shown);
    return safe;
}

} // namespace vesk::display
