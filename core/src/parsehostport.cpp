#include "parsehostport.h"

#include <QStringList>

namespace vesk::detail {

std::pair<QHostAddress, quint16> parseHostPort(const QString& text, bool* ok)
{
    *ok = true;
    const QStringList parts = text.split(QChar(':'), Qt::KeepEmptyParts);
    const QHostAddress address(parts.value(0));
    const quint16 port = parts.value(1).toUShort(ok, 10);
    if (address.isNull())
        *ok = false;
    return { address, port };
}

} // namespace vesk::detail
