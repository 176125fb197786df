#include <vesk/protocol/timetext.h>

#include <cstdlib>

namespace vesk::protocol {

namespace {

// Qt writes "Z" for UTC and nothing at all for local time, so the offset is written here.
QString withOffset(const QDateTime& time, QStringView format)
{
    if (!time.isValid())
        return {};
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(format)
        + QStringLiteral("%1%2:%3")
              .arg(QChar(offset < 0 ? u'-' : u'+'))
              .arg(minutes / 60, 2, 10, QChar(u'0'))
              .arg(minutes % 60, 2, 10, QChar(u'0'));
}

} // namespace

QString wireTime(const QDateTime& time)
{
    return withOffset(time, u"yyyy-MM-ddTHH:mm:ss.zzz");
}

QString wireTimeSeconds(const QDateTime& time)
{
    return withOffset(time, u"yyyy-MM-ddTHH:mm:ss");
}

QDateTime readWireTime(QStringView text)
{
    return QDateTime::fromString(text.toString(), Qt::ISODateWithMs);
}

} // namespace vesk::protocol
