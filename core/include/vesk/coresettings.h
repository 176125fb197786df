#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

class QSettings;

namespace vesk {

// The Main and Stream groups of config.ini as the Core applies them. Every key has a fall-back;
// a value that is present but does not parse is replaced by it and named in `fallbacks`:
//   Main/listen      absent -> 0.0.0.0:49152
//                    not "IPv4-address:port" -> every address (QHostAddress::Any), port 49152
//   Main/syncRepeat  absent, not a whole number of seconds from 1 to 2147483 -> 60
//   Stream/sendTo    absent, not "IPv4-address:port" -> 0.0.0.0:8554
//   Main/connectFrom absent or blank -> anyone may pair; entries that are no address or range
//                    are left out (never widening the lock), so with none left no one may
//   Status/prometheusFile absent or blank -> no such file; not an absolute path -> none either
//   Plays/maxBytes   absent, not a whole number of bytes from 65536 to 2^40 -> 67108864 (64 MiB)
struct CoreSettings
{
    QHostAddress listenAddress;
    quint16 listenPort = 0;
    int syncRepeatSeconds = 0;
    QHostAddress sendAddress;
    quint16 sendPort = 0;
    // The addresses and ranges that may pair; nothing when anyone may.
    std::optional<QList<std::pair<QHostAddress, int>>> pairingPeers;
    // Where the status figures are also written for node-exporter's textfile collector; empty:
    // nowhere.
    QString prometheusFile;
    // The most the ledger of plays may hold on disk.
    qint64 playsMaxBytes = 0;
    // One sentence per replaced value, e.g.
    //   Main/syncRepeat "0" is not a number of seconds from 1 to 2147483; using 60
    QStringList fallbacks;
    // Who may pair, where it is more than a shop would want: pairing replaces the key with which
    // content is delivered. One sentence each, for the start line and --check-config:
    //   unset, listening beyond loopback -> "Main/connectFrom is not set: anyone who reaches
    //       0.0.0.0:49152 can pair this register and then deliver what its displays show; set
    //       Main/connectFrom to the management server's address"
    //   "10.0.0.5/0"   -> "Main/connectFrom "10.0.0.5/0" admits every address"
    //   "10.0.0.0/8"   -> "Main/connectFrom "10.0.0.0/8" admits 16777216 addresses, more than a
    //       shop's network (a /16 at most)"
    //   "2001:db8::/32" -> "... admits a /32 network, more than a shop's network (a /64 at most)"
    //   "10.1.0.0/16", "192.168.1.0/24", "fd00::/64", unset with 127.0.0.1 -> nothing
    QStringList pairingWarnings;

    static CoreSettings read(const QSettings& settings);
    // "address:port" for a person. The server listens on IPv4 only, on every address when given
    // another kind, so listenText then reads 0.0.0.0.
    QString listenText() const;
    QString sendToText() const;
    // "10.0.0.5/32,192.168.10.0/24"; empty when anyone may pair.
    QString connectFromText() const;
    // Every key read above, for telling unknown keys apart.
    static QStringList keys();
};

} // namespace vesk
