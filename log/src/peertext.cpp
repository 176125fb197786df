#include <vesk/log/peertext.h>

#include <QChar>
#include <QList>

namespace vesk::log {

namespace {

void appendShown(QString& shown, char32_t code)
{
    const QChar::Category category = QChar::category(code);
    if (code == U'\\')
        shown += QLatin1String("\\\\");
    else if (code == U'\n')
        shown += QLatin1String("\\n");
    else if (code == U'\r')
        shown += QLatin1String("\\r");
    else if (code == U'\t')
        shown += QLatin1String("\\t");
    else if (category == QChar::Other_Control || category == QChar::Other_Format
        || category == QChar::Separator_Line || category == QChar::Separator_Paragraph)
        shown += code < 0x100 ? QStringLiteral("\\x%1").arg(uint(code), 2, 16, QLatin1Char('0'))
                              : QStringLiteral("\\u{%1}").arg(uint(code), 0, 16);
    else
        shown.append(QStringView(QChar::fromUcs4(code)));
}

} // namespace

QString peerText(QStringView text, qsizetype limit)
{
    const bool cut = limit >= 0 && text.size() > limit;
    QString shown;
    shown.reserve(cut ? limit : text.size());
    for (const char32_t code : (cut ? text.first(limit) : text).toUcs4())
        appendShown(shown, code);
    if (cut)
        shown += QStringLiteral("…[cut: %1 characters]").arg(text.size());
    return shown;
}

} // namespace vesk::log
