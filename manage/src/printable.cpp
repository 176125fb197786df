#include "printable.h"

#include <QJsonArray>
#include <QJsonObject>

namespace vesk::manage {

namespace {

bool harmless(char32_t c)
{
    if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029)
        return false;
    return QChar::category(c) != QChar::Other_Format;
}

} // namespace

QString printable(QStringView text, qsizetype limit)
{
    const bool cut = text.size() > limit;
    if (cut)
        text = text.first(limit);
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == '\\')
            out += QLatin1String("\\\\");
        else if (c == '\n')
            out += QLatin1String("\\n");
        else if (c == '\r')
            out += QLatin1String("\\r");
        else if (c == '\t')
            out += QLatin1String("\\t");
        else if (c < 0x100 && !harmless(c))
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else if (!harmless(c))
            out += QStringLiteral("\\u{%1}").arg(uint(c), 4, 16, QLatin1Char('0'));
        else
            out += QString::fromUcs4(&c, 1);
    }
    if (cut)
        out += QLatin1String(" [cut]");
    return out;
}

QJsonValue printableJson(const QJsonValue& value)
{
    if (value.isString())
        return printable(value.toString());
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue& item : value.toArray())
            array.append(printableJson(item));
        return array;
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        QJsonObject out;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            out.insert(printable(it.key()), printableJson(it.value()));
        return out;
    }
    return value;
}

} // namespace vesk::manage
