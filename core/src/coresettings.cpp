#include <vesk/coresettings.h>

#include "parsehostport.h"

#include <QDir>
#include <QRegularExpression>
#include <QSettings>

#include <climits>

namespace vesk {

namespace {

// The ledger of plays: a few weeks of a busy day's records by default; at least a few segments.
constexpr qint64 defaultPlaysMaxBytes = qint64(64) << 20;
constexpr qint64 smallestPlaysMaxBytes = qint64(64) << 10;
constexpr qint64 largestPlaysMaxBytes = qint64(1) << 40;

// The value of key as "IPv4-address:port"; false, with nothing set, when the key is absent or
// its value does not parse. A value that does not parse is named in fallbacks.
bool readHostPort(const QSettings& settings, const QString& key, const QString& fallback,
    QHostAddress* address, quint16* port, QStringList* fallbacks)
{
    if (!settings.contains(key))
        return false;
    const QString text = settings.value(key).toString();
    bool ok = false;
    const auto [parsedAddress, parsedPort] = detail::parseHostPort(text, &ok);
    if (!ok) {
        fallbacks->append(QStringLiteral("%1 \"%2\" is not an IPv4 address and port; using %3")
                              .arg(key, text, fallback));
        return false;
    }
    *address = parsedAddress;
    *port = parsedPort;
    return true;
}

// A shop's network is one LAN: an IPv4 /16 or an IPv6 /64 at most. What a wider range admits, in
// words; empty for a range no wider than that.
QString widerThanAShop(const std::pair<QHostAddress, int>& range)
{
    const auto [address, length] = range;
    if (length == 0)
        return QStringLiteral("every address");
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (v4 && length < 16)
        return QStringLiteral("%1 addresses, more than a shop's network (a /16 at most)")
            .arg(quint64(1) << (32 - length));
    if (!v4 && length < 64)
        return QStringLiteral("a /%1 network, more than a shop's network (a /64 at most)")
            .arg(length);
    return {};
}

} // namespace

CoreSettings CoreSettings::read(const QSettings& settings)
{
    CoreSettings result;
    result.listenAddress = QHostAddress(QHostAddress::AnyIPv4);
    result.listenPort = 49152;
    const qsizetype before = result.fallbacks.size();
    if (!readHostPort(settings, "Main/listen", "0.0.0.0:49152", &result.listenAddress,
            &result.listenPort, &result.fallbacks)
        && result.fallbacks.size() > before) {
        // The fall-back of a value that does not parse is the any-address of either protocol;
        // the server listens on IPv4 either way.
        result.listenAddress = QHostAddress(QHostAddress::Any);
    }

    // Zero would retry in a busy loop and more would overflow the timer's milliseconds.
    constexpr int maxSeconds = INT_MAX / 1000;
    bool ok = false;
    const QString repeat = settings.value("Main/syncRepeat").toString();
    result.syncRepeatSeconds = repeat.toInt(&ok, 10);
    if (!ok || result.syncRepeatSeconds <= 0 || result.syncRepeatSeconds > maxSeconds) {
        result.syncRepeatSeconds = 60;
        if (settings.contains("Main/syncRepeat")) {
            result.fallbacks.append(
                QStringLiteral("Main/syncRepeat \"%1\" is not a number of seconds from 1 to %2; "
                               "using 60")
                    .arg(repeat)
                    .arg(maxSeconds));
        }
    }

    result.sendAddress = QHostAddress(QHostAddress::AnyIPv4);
    result.sendPort = 8554;
    readHostPort(settings, "Stream/sendTo", "0.0.0.0:8554", &result.sendAddress, &result.sendPort,
        &result.fallbacks);

    // A list of several entries reads as a list when written without quotes, as one text with
    // commas when quoted.
    const QStringList entries = settings.value("Main/connectFrom")
                                    .toStringList()
                                    .join(u',')
                                    .split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts);
    if (!entries.isEmpty())
        result.pairingPeers.emplace();
    for (const QString& entry : entries) {
        std::pair<QHostAddress, int> range = QHostAddress::parseSubnet(entry);
        if (!entry.contains(u'/')) {
            const QHostAddress address(entry);
            range = { address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128 };
        }
        if (range.first.isNull()) {
            result.fallbacks.append(
                QStringLiteral("Main/connectFrom \"%1\" is not an address or a range; left out")
                    .arg(entry));
        } else {
            result.pairingPeers->append(range);
            if (const QString wide = widerThanAShop(range); !wide.isEmpty())
                result.pairingWarnings.append(
                    QStringLiteral("Main/connectFrom \"%1\" admits %2").arg(entry, wide));
        }
    }
    if (!result.pairingPeers && !result.listenAddress.isLoopback()) {
        result.pairingWarnings.append(
            QStringLiteral("Main/connectFrom is not set: anyone who reaches %1 can pair this "
                           "register and then deliver what its displays show; set "
                           "Main/connectFrom to the management server's address")
                .arg(result.listenText()));
    }

    const QString prometheus = settings.value("Status/prometheusFile").toString().trimmed();
    if (QDir::isAbsolutePath(prometheus))
        result.prometheusFile = QDir::cleanPath(prometheus);
    else if (!prometheus.isEmpty())
        result.fallbacks.append(
            QStringLiteral("Status/prometheusFile \"%1\" is not an absolute path; not written")
                .arg(prometheus));
    result.playsMaxBytes = defaultPlaysMaxBytes;
    if (const QVariant value = settings.value("Plays/maxBytes"); value.isValid()) {
        bool ok = false;
        const qint64 bytes = value.toString().trimmed().toLongLong(&ok, 10);
        if (ok && bytes >= smallestPlaysMaxBytes && bytes <= largestPlaysMaxBytes)
            result.playsMaxBytes = bytes;
        else
            result.fallbacks.append(
                QStringLiteral("Plays/maxBytes \"%1\" is not a number of bytes from %2 to %3; "
                               "using %4")
                    .arg(value.toString())
                    .arg(smallestPlaysMaxBytes)
                    .arg(largestPlaysMaxBytes)
                    .arg(defaultPlaysMaxBytes));
    }
    return result;
}

QString CoreSettings::listenText() const
{
    const QString host = listenAddress.protocol() == QAbstractSocket::IPv4Protocol
        ? listenAddress.toString()
        : QStringLiteral("0.0.0.0");
    return host + u':' + QString::number(listenPort);
}

QString CoreSettings::sendToText() const
{
    return sendAddress.toString() + u':' + QString::number(sendPort);
}

QString CoreSettings::connectFromText() const
{
    QStringList ranges;
    for (const auto& [address, length] :
        pairingPeers.value_or(QList<std::pair<QHostAddress, int>>()))
        ranges.append(address.toString() + u'/' + QString::number(length));
    return ranges.join(u',');
}

QStringList CoreSettings::keys()
{
    return { "Main/listen", "Main/syncRepeat", "Main/connectFrom", "Stream/sendTo",
        "Status/prometheusFile", "Plays/maxBytes" };
}

} // namespace vesk
