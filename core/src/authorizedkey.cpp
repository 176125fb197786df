#include "authorizedkey.h"

#include <QByteArray>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <array>

namespace vesk::detail {

namespace {

constexpr std::array<QLatin1StringView, 7> keyTypes {
    QLatin1StringView("ssh-ed25519"),
    QLatin1StringView("ecdsa-sha2-nistp256"),
    QLatin1StringView("ecdsa-sha2-nistp384"),
    QLatin1StringView("ecdsa-sha2-nistp521"),
    QLatin1StringView("ssh-rsa"),
    QLatin1StringView("sk-ssh-ed25519@openssh.com"),
    QLatin1StringView("sk-ecdsa-sha2-nistp256@openssh.com"),
};

// The blob starts with the key type as an SSH string: a 32-bit big-endian length, the bytes.
bool blobNamesType(const QByteArray& blob, const QByteArray& type)
{
    if (blob.size() < 4 + type.size())
        return false;
    const quint32 length = qFromBigEndian<quint32>(blob.constData());
    return length == quint32(type.size()) && blob.mid(4, type.size()) == type;
}

} // namespace

bool hasControlCharacter(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(),
        [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

bool isAuthorizedKey(const QString& text)
{
    if (hasControlCharacter(text))
        return false;
    const QStringList fields = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() < 2)
        return false;
    const QString& type = fields[0];
    if (std::find(keyTypes.cbegin(), keyTypes.cend(), type) == keyTypes.cend())
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(
        fields[1].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && blobNamesType(*decoded, type.toLatin1());
}

} // namespace vesk::detail
