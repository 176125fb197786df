// Internal to vesk-manage, not API.
#pragma once

#include <vesk/protocol/encryptedanswer.h>
#include <vesk/ssl/sharedkey.h>

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QString>
#include <QUuid>

#include <optional>

namespace vesk::manage {

struct PairingRequest
{
    QHostAddress address;
    quint16 port = 0;
    // One authorized_keys line, as ssh-keygen wrote it, without the line end.
    QByteArray clientKey;
    // Where the register is to send its heartbeat, ADDRESS:PORT.
    QString server;
    QUuid token;
};

struct PairingAnswer
{
    ssl::SharedKey key;
    QString catalog;
    // The register's clock as it answered, and ours when the answer came.
    QDateTime registerTime;
    QDateTime received;
};

// How long the register may take and how much it may say. Its answer is a few hundred bytes.
struct PairingLimits
{
    int timeoutMs = 10000;
    qint64 maxAnswerBytes = protocol::maxAnswerBytes;
};

struct PairingError
{
    // The register answered, and refused: its reason is in the text.
    bool refused = false;
    QString text;
};

// Sends the connect command with a key pair made for it, and decrypts and checks the answer
// (its tag, "catalog" an absolute path of plain characters, "datetime" a time). Blocks the
// calling thread. On failure returns nothing and sets `error` to a
// one-line text, the register's own reason included (escaped: the register is a peer).
std::optional<PairingAnswer> pairWith(
    const PairingRequest& request, const PairingLimits& limits, PairingError& error);

// The address this machine would send from to reach `address`: what a register on that network
// can send its heartbeat to. Null when no route leads there.
QHostAddress localAddressTowards(const QHostAddress& address);

} // namespace vesk::manage
