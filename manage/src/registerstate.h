// Internal to vesk-manage, not API.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

namespace vesk::manage {

// What a management server keeps of one pairing: enough to deliver to the register and to read
// its heartbeats, nothing more (the key pair of the exchange is not kept).
struct RegisterState
{
    QString name;
    // The register's REST API.
    QHostAddress address;
    quint16 port = 0;
    QUuid token;
    // The 32 bytes agreed with the register; its heartbeats are sealed with them.
    QByteArray sharedKey;
    // Where the register takes deliveries, as its answer named it.
    QString catalog;
    // The private half of the SSH key whose public half was paired.
    QString sshKey;
    // Where the register sends its heartbeat, ADDRESS:PORT.
    QString heartbeat;
    // Our clock when the register answered, and its clock against ours then.
    QDateTime paired;
    qint64 clockOffsetMs = 0;

    QString registerText() const;
};

// One file per register in a directory of our own (0700), each file 0600 and replaced as a
// whole, so that a crash leaves the old pairing or the new one, never a mixture. Failures throw
// std::runtime_error with a one-line text; a file that does not read as a pairing is reported,
// never half used.
class StateStore
{
public:
    explicit StateStore(QString directory);

    // $XDG_STATE_HOME/vesk-manage, or ~/.local/state/vesk-manage when that is unset or relative;
    // empty when neither can be made.
    static QString defaultDirectory(const QProcessEnvironment& environment);

    // A name is also a file name: 1 to 64 of A-Z a-z 0-9 . _ : @ -, not starting with . or -,
    // and none of the other files of the directory ("plays.sqlite...", "vesk-manage.ini").
    static bool validName(const QString& name);

    const QString& directory() const { return m_directory; }

    // Makes the directory, so that a pairing can be kept once the register has agreed to it.
    void prepare() const;
    void save(const RegisterState& state) const;
    // Nothing, with `error` set, for a missing or unusable file.
    std::optional<RegisterState> load(const QString& name, QString& error) const;
    // Every usable pairing; a line in `problems` for each file that is not one.
    QList<RegisterState> loadAll(QStringList& problems) const;

private:
    QString m_directory;
};

// ADDRESS:PORT with an IPv4 address and a port from 1 to 65535.
std::optional<std::pair<QHostAddress, quint16>> parseIpv4Port(const QString& text);

} // namespace vesk::manage
