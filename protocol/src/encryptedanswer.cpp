#include <vesk/protocol/encryptedanswer.h>

#include <vesk/ssl/crypto.h>
#include <vesk/ssl/error.h>

namespace vesk::protocol {

SealedAnswer sealAnswer(
    const ssl::PublicKey& publicKey, std::span<const unsigned char, 32> key, const QByteArray& plaintext)
{
    const ssl::EncryptedDataGcm encrypted = ssl::encryptWithGcm(key, plaintext);
    return { publicKey.der().toBase64(), encrypted.getIv().toBase64(),
        encrypted.getCiphertext() + encrypted.getTag() };
}

OpenedAnswer openAnswer(const ssl::PrivateKey& own, QByteArrayView publicKey, QByteArrayView iv,
    const QByteArray& body)
{
    OpenedAnswer opened;
    opened.key = ssl::deriveKey(own, ssl::PublicKey::fromDer(QByteArray::fromBase64(publicKey.toByteArray())));
    const qsizetype tag = ssl::EncryptedDataGcm::tagLength;
    if (body.size() < tag)
        throw ssl::Error("the answer is shorter than its tag");
    opened.plaintext = ssl::decryptWithGcm(opened.key.bytes(),
        ssl::EncryptedDataGcm(body.first(body.size() - tag), QByteArray::fromBase64(iv.toByteArray()),
            body.last(tag)));
    return opened;
}

} // namespace vesk::protocol
