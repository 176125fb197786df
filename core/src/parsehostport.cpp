#include "parsehostport.h"

#include <QStringList>

namespace vesk::detail {

std::pair<QHostAddress, quint16> parseHostPort(const QString& text, bool* ok)
{
    // Whatever follows a second colon is ignored, and a port may be padded with zeros; a caller
    // that stores the text as given must not store a megabyte of either.
    constexpr qsizetype longest = 64;
    *ok = true;
    const QStringList parts = text.split(QChar(':'), Qt::KeepEmptyParts);
    const QHostAddress address(parts.value(0));
    const quint16 port = parts.value(1).toUShort(ok, 10);
    if (address.isNull() || text.size() > longest)
        *ok = false;
    return { address, port };
}

} // namespace vesk::detail
