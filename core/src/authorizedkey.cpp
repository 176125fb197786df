#include "authorizedkey.h"

#include <QByteArray>
#include <QCoreApplication>
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

// What restrictedKeyLine puts before the program.
constexpr QLatin1StringView restrictions("restrict,command=\"");

bool isPlainProgramPath(QStringView path)
{
    return path.startsWith(u'/') && std::all_of(path.cbegin(), path.cend(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
            || QStringView(u"/._+-").contains(c);
    });
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

QString withoutLineEnd(const QString& text)
{
    if (text.endsWith(u"\r\n"))
        return text.chopped(2);
    return text.endsWith(u'\n') ? text.chopped(1) : text;
}

QString sshGatePath()
{
    // Made once: pairings ask from several workers at a time, and the program does not move.
    static const QString path
        = QCoreApplication::applicationDirPath() + QStringLiteral("/vesk-sshgate");
    return path;
}

QByteArray restrictedKeyLine(const QString& gate, const QString& key)
{
    if (!isPlainProgramPath(gate))
        return {};
    return (restrictions + gate + QStringLiteral("\" ") + key).toUtf8() + '\n';
}

std::optional<QString> keyOfLine(const QByteArray& line)
{
    const QString text = QString::fromUtf8(line);
    if (isAuthorizedKey(text))
        return text;
    if (!text.startsWith(restrictions))
        return std::nullopt;
    const qsizetype end = text.indexOf(QStringLiteral("\" "), restrictions.size());
    if (end < 0
        || !isPlainProgramPath(
            QStringView(text).sliced(restrictions.size(), end - restrictions.size())))
        return std::nullopt;
    const QString key = text.sliced(end + 2);
    return isAuthorizedKey(key) ? std::optional(key) : std::nullopt;
}

} // namespace vesk::detail
