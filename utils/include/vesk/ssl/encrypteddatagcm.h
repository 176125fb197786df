#pragma once

#include <vesk/ssl/aesgcm.h>

#include <QByteArray>

#include <utility>

namespace vesk::ssl {

// The result of AES-256-GCM encryption: the ciphertext (as long as the plaintext), the 12-byte IV
// and the 16-byte tag, kept apart so that each message format can lay them out as it needs.
class EncryptedDataGcm
{
public:
    static constexpr int ivLength = int(AesGcm::ivSize);
    static constexpr int tagLength = int(AesGcm::tagSize);

    EncryptedDataGcm() = default;
    EncryptedDataGcm(QByteArray ciphertext, QByteArray iv, QByteArray tag)
        : m_ciphertext(std::move(ciphertext))
        , m_iv(std::move(iv))
        , m_tag(std::move(tag))
    {
    }

    const QByteArray& getCiphertext() const noexcept { return m_ciphertext; }
    const QByteArray& getIv() const noexcept { return m_iv; }
    const QByteArray& getTag() const noexcept { return m_tag; }

private:
    QByteArray m_ciphertext;
    QByteArray m_iv;
    QByteArray m_tag;
};

} // namespace vesk::ssl
