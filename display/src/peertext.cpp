#include "peertext.h"

#include <QChar>
#include <QList>
#include <QString>

namespace vesk::display {

namespace {

bool passes(char32_t c)
{
    if (c <= ' ' || c == '%' || (c >= 0x7f && c <= 0x9f))
        return false;
    const QChar::Category category = QChar::category(c);
    // Every kind of blank: a tool that splits a line on white space knows them all.
    return category != QChar::Other_Format && category != QChar::Separator_Space
        && category != QChar::Separator_Line && category != QChar::Separator_Paragraph;
}

} // namespace

QByteArray peerText(QStringView text, qsizetype limit)
{
    const QStringView shown = text.first(std::min(text.size(), limit));
    QByteArray out;
    for (const char32_t c : shown.toUcs4()) {
        const QByteArray bytes = QString::fromUcs4(&c, 1).toUtf8();
        if (passes(c)) {
            out += bytes;
            continue;
        }
        for (const char byte : bytes)
            out += '%'
                + QByteArray::number(static_cast<unsigned char>(byte), 16)
                      .rightJustified(2, '0')
                      .toUpper();
    }
    if (shown.size() < text.size())
        out += QByteArray("... (") + QByteArray::number(text.size() - shown.size())
            + " more characters)";
    return out;
}

} // namespace vesk::display
