#pragma once
// Test support of libvesk_core, not API.

#include "httpclient.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace vesk::test {

// A management server or display played by Python's "cryptography" package (tests/data/peer.py):
// its own P-256 key, and decryption of an encrypted answer as documented for our peers.
class Peer
{
public:
    Peer();

    // Base64 of the DER public key: the "serverKey" or "pk" of a request.
    QByteArray publicKey() const { return m_publicKey; }

    struct Decrypted
    {
        bool ok = false;
        // The key derived on the peer's side, and the decrypted plaintext.
        QByteArray key;
        QByteArray plaintext;
        QString error;
    };
    // Derives the key from our private key and "X-PK", and decrypts the body with "X-IV".
    Decrypted decrypt(const RawResponse& response) const;

private:
    QTemporaryDir m_dir;
    QString m_keyFile;
    QByteArray m_publicKey;
};

} // namespace vesk::test
