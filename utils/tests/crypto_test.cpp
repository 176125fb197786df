#include "gcm.h"

#include <vesk/utils.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

using namespace vesk;

namespace {

std::array<unsigned char, 32> keyFromHex(const char* hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    std::array<unsigned char, 32> key {};
    EXPECT_EQ(bytes.size(), 32);
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

std::array<unsigned char, 32> toArray(const ssl::SharedKey& key)
{
    std::array<unsigned char, 32> result {};
    std::copy(key.bytes().begin(), key.bytes().end(), result.begin());
    return result;
}

QJsonObject runPeer(const QStringList& arguments, const QJsonObject& input = {})
{
    QProcess peer;
    peer.start("/usr/bin/python3", QStringList { VESK_TEST_DATA_DIR "/gcm_peer.py" } + arguments);
    if (!peer.waitForStarted(10000)) {
        ADD_FAILURE() << "cannot start /usr/bin/python3";
        return {};
    }
    if (!input.isEmpty())
        peer.write(QJsonDocument(input).toJson(QJsonDocument::Compact));
    peer.closeWriteChannel();
    const bool finished = peer.waitForFinished(60000);
    EXPECT_TRUE(finished);
    EXPECT_EQ(peer.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(peer.exitCode(), 0) << peer.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(peer.readAllStandardOutput()).object();
}

QByteArray fromBase64(const QJsonValue& value)
{
    return QByteArray::fromBase64(value.toString().toLatin1());
}

} // namespace

TEST(KeyAgreement, BothSidesDeriveTheSameKey)
{
    const auto [ownPrivate, ownPublic] = ssl::generateKeyPairEC();
    const auto [peerPrivate, peerPublic] = ssl::generateKeyPairEC();
    ASSERT_TRUE(ownPrivate.isValid());
    ASSERT_TRUE(ownPublic.isValid());

    // Each side sees only the other's DER, as over the wire.
    const ssl::SharedKey ours
        = ssl::deriveKey(ownPrivate, ssl::PublicKey::fromDer(peerPublic.der()));
    const ssl::SharedKey theirs
        = ssl::deriveKey(peerPrivate, ssl::PublicKey::fromDer(ownPublic.der()));
    EXPECT_TRUE(ours.isValid());
    EXPECT_EQ(ours.getKey().size(), 32);
    EXPECT_EQ(ours.getKey(), theirs.getKey());

    const auto [thirdPrivate, thirdPublic] = ssl::generateKeyPairEC();
    EXPECT_NE(ssl::deriveKey(thirdPrivate, ownPublic).getKey(), ours.getKey());
}

TEST(KeyAgreement, FreshPairsDiffer)
{
    const auto first = ssl::generateKeyPairEC();
    const auto second = ssl::generateKeyPairEC();
    EXPECT_NE(first.second.der(), second.second.der());
}

TEST(KeyAgreement, PublicKeyDerIsSubjectPublicKeyInfoOfP256)
{
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const QByteArray der = publicKey.der();
    // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING 04 || X || Y }
    ASSERT_EQ(der.size(), 91);
    EXPECT_EQ(der.left(26).toHex(), "3059301306072a8648ce3d020106082a8648ce3d030107034200");
    EXPECT_EQ(der.at(26), '\x04');
    EXPECT_EQ(ssl::PublicKey::fromDer(der).der(), der);
}

TEST(KeyAgreement, ReadsForeignKeysInBothPointForms)
{
    // Written by python3-cryptography.
    QFile file(VESK_TEST_DATA_DIR "/p256_uncompressed.der");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray uncompressed = file.readAll();
    const ssl::PublicKey key = ssl::PublicKey::fromDer(uncompressed);
    ASSERT_TRUE(key.isValid());
    EXPECT_EQ(key.der(), uncompressed);

    // The same point as 02/03 || X, the parity of Y in the prefix.
    const QByteArray x = uncompressed.mid(27, 32);
    const bool odd = uncompressed.back() & 1;
    const QByteArray compressed
        = QByteArray::fromHex("3039301306072a8648ce3d020106082a8648ce3d030107032200")
        + char(odd ? 0x03 : 0x02) + x;
    const ssl::PublicKey fromCompressed = ssl::PublicKey::fromDer(compressed);
    ASSERT_TRUE(fromCompressed.isValid());
    EXPECT_EQ(fromCompressed.der(), uncompressed);

    // The other parity is another valid point, so a different key.
    QByteArray flipped = compressed;
    flipped[26] = char(odd ? 0x02 : 0x03);
    EXPECT_NE(ssl::PublicKey::fromDer(flipped).der(), uncompressed);
}

TEST(KeyAgreement, PublicKeyNeverCarriesThePrivateScalar)
{
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    BIGNUM* scalar = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(publicKey.get(), "priv", &scalar), 0);
    BN_free(scalar);
}

TEST(KeyAgreement, InvalidKeysThrow)
{
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    EXPECT_THROW(ssl::deriveKey(privateKey, ssl::PublicKey()), ssl::Error);
    EXPECT_THROW(ssl::deriveKey(privateKey, ssl::PublicKey::fromDer("garbage")), ssl::Error);
    EXPECT_THROW(ssl::deriveKey(ssl::PrivateKey(), publicKey), ssl::Error);
    // ssl::Error is what callers catch as std::exception.
    try {
        ssl::deriveKey(privateKey, ssl::PublicKey());
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STRNE(error.what(), "");
    }
}

TEST(KeyAgreement, CopiesShareTheKey)
{
    auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::PublicKey copy = publicKey;
    const ssl::PrivateKey privateCopy = privateKey;
    publicKey = ssl::PublicKey();
    privateKey = ssl::PrivateKey();
    ASSERT_TRUE(copy.isValid());
    const auto [otherPrivate, otherPublic] = ssl::generateKeyPairEC();
    EXPECT_EQ(ssl::deriveKey(privateCopy, otherPublic).getKey(),
        ssl::deriveKey(otherPrivate, copy).getKey());
}

// Several REST workers agree keys at once.
TEST(KeyAgreement, ConcurrentAgreements)
{
    const auto [serverPrivate, serverPublic] = ssl::generateKeyPairEC();
    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, serverPrivate = serverPrivate, serverPublic = serverPublic] {
            for (int i = 0; i < 20; ++i) {
                const auto [ownPrivate, ownPublic] = ssl::generateKeyPairEC();
                if (ssl::deriveKey(ownPrivate, serverPublic).getKey()
                    != ssl::deriveKey(serverPrivate, ownPublic).getKey())
                    ++mismatches;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}

struct DerCase
{
    const char* name;
    QByteArray der;
};

class FromDerInvalid : public testing::TestWithParam<DerCase>
{
};

TEST_P(FromDerInvalid, GivesInvalidKey)
{
    const ssl::PublicKey key = ssl::PublicKey::fromDer(GetParam().der);
    EXPECT_FALSE(key.isValid());
    EXPECT_TRUE(key.der().isEmpty());
}

namespace {

QByteArray validDer()
{
    return ssl::generateKeyPairEC().second.der();
}

QByteArray derOf(EVP_PKEY* key)
{
    const int length = i2d_PUBKEY(key, nullptr);
    QByteArray der(length, Qt::Uninitialized);
    auto* cursor = reinterpret_cast<unsigned char*>(der.data());
    i2d_PUBKEY(key, &cursor);
    EVP_PKEY_free(key);
    return der;
}

QByteArray pointOffCurve()
{
    QByteArray der = validDer();
    der[der.size() - 1] = char(der.at(der.size() - 1) ^ 1);
    return der;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Garbage, FromDerInvalid,
    testing::Values(DerCase { "empty", QByteArray() },
        DerCase { "text", QByteArray("not a key at all") },
        DerCase { "zeros", QByteArray(91, '\0') }, DerCase { "truncated", validDer().left(60) },
        DerCase { "trailing", validDer() + QByteArray(1, '\0') },
        DerCase { "pointOffCurve", pointOffCurve() },
        DerCase { "otherCurve", derOf(EVP_EC_gen("P-384")) },
        DerCase { "otherAlgorithm", derOf(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519")) }),
    [](const testing::TestParamInfo<DerCase>& info) { return info.param.name; });

TEST(SharedKey, TrySetKeyAcceptsExactlyWhatGetKeyGave)
{
    const auto [privateKey, publicKey] = ssl::generateKeyPairEC();
    const ssl::SharedKey derived = ssl::deriveKey(privateKey, ssl::generateKeyPairEC().second);

    ssl::SharedKey loaded;
    EXPECT_FALSE(loaded.isValid());
    EXPECT_TRUE(loaded.getKey().isEmpty());
    ASSERT_TRUE(loaded.trySetKey(derived.getKey()));
    EXPECT_EQ(loaded.getKey(), derived.getKey());
    EXPECT_EQ(toArray(loaded), toArray(derived));

    for (int size : { 0, 1, 31, 33, 64 }) {
        ssl::SharedKey other;
        EXPECT_FALSE(other.trySetKey(QByteArray(size, 'k'))) << size;
        EXPECT_FALSE(other.isValid());
    }
    // A refused key leaves the previous one in place.
    EXPECT_FALSE(loaded.trySetKey(derived.getKey() + "x"));
    EXPECT_EQ(loaded.getKey(), derived.getKey());
}

TEST(Hkdf, Rfc5869TestCase1)
{
    const QByteArray okm = detail::hkdfSha256(QByteArray(22, '\x0b'),
        QByteArray::fromHex("000102030405060708090a0b0c"),
        QByteArray::fromHex("f0f1f2f3f4f5f6f7f8f9"), 42);
    EXPECT_EQ(okm.toHex(),
        "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
}

TEST(Hkdf, Rfc5869TestCase3EmptySaltAndInfo)
{
    // The case our agreement uses: no salt, no info.
    const QByteArray okm = detail::hkdfSha256(QByteArray(22, '\x0b'), {}, {}, 42);
    EXPECT_EQ(okm.toHex(),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

struct GcmVector
{
    const char* name;
    const char* key;
    const char* iv;
    const char* plaintext;
    const char* ciphertext;
    const char* tag;
};

class GcmKnownAnswer : public testing::TestWithParam<GcmVector>
{
};

TEST_P(GcmKnownAnswer, EncryptsAndDecrypts)
{
    const GcmVector& v = GetParam();
    const auto key = keyFromHex(v.key);
    const ssl::EncryptedDataGcm sealed = detail::encryptWithGcmIv(
        key, QByteArray::fromHex(v.iv), QByteArray::fromHex(v.plaintext));
    EXPECT_EQ(sealed.getCiphertext().toHex(), v.ciphertext);
    EXPECT_EQ(sealed.getTag().toHex(), v.tag);
    EXPECT_EQ(sealed.getIv().toHex(), v.iv);

    const ssl::EncryptedDataGcm published(
        QByteArray::fromHex(v.ciphertext), QByteArray::fromHex(v.iv), QByteArray::fromHex(v.tag));
    EXPECT_EQ(ssl::decryptWithGcm(key, published).toHex(), v.plaintext);
}

// The AES-256 cases without additional data from McGrew and Viega, "The Galois/Counter Mode of
// Operation (GCM)", test cases 13 to 15.
INSTANTIATE_TEST_SUITE_P(Published, GcmKnownAnswer,
    testing::Values(
        GcmVector { "case13", "0000000000000000000000000000000000000000000000000000000000000000",
            "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b" },
        GcmVector { "case14", "0000000000000000000000000000000000000000000000000000000000000000",
            "000000000000000000000000", "00000000000000000000000000000000",
            "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919" },
        GcmVector { "case15", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
            "cafebabefacedbaddecaf888",
            "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
            "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
            "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
            "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
            "b094dac5d93471bdec1a502270e3cc6c" }),
    [](const testing::TestParamInfo<GcmVector>& info) { return info.param.name; });

TEST(Gcm, RoundTripWithFreshIv)
{
    const auto key = keyFromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const QByteArray plaintext = R"({"datetime":"2026-12-07T10:00:00.000+03:00"})";
    const ssl::EncryptedDataGcm first = ssl::encryptWithGcm(key, plaintext);
    const ssl::EncryptedDataGcm second = ssl::encryptWithGcm(key, plaintext);

    EXPECT_EQ(first.getIv().size(), 12);
    EXPECT_EQ(first.getTag().size(), 16);
    EXPECT_EQ(first.getCiphertext().size(), plaintext.size());
    EXPECT_NE(first.getIv(), second.getIv());
    EXPECT_NE(first.getCiphertext(), second.getCiphertext());
    EXPECT_EQ(ssl::decryptWithGcm(key, first), plaintext);
    EXPECT_EQ(ssl::decryptWithGcm(key, second), plaintext);

    const ssl::EncryptedDataGcm empty = ssl::encryptWithGcm(key, {});
    EXPECT_TRUE(empty.getCiphertext().isEmpty());
    EXPECT_EQ(empty.getTag().size(), 16);
    EXPECT_TRUE(ssl::decryptWithGcm(key, empty).isEmpty());
}

enum class Tamper { ciphertext, tag, iv, key, shortTag, shortIv, truncated };

std::string tamperName(const testing::TestParamInfo<Tamper>& info)
{
    static const char* const names[]
        = { "ciphertext", "tag", "iv", "key", "shortTag", "shortIv", "truncated" };
    return names[int(info.param)];
}

class GcmTampered : public testing::TestWithParam<Tamper>
{
};

TEST_P(GcmTampered, FailsToDecrypt)
{
    auto key = keyFromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const ssl::EncryptedDataGcm sealed = ssl::encryptWithGcm(key, "the register's access token");
    QByteArray ciphertext = sealed.getCiphertext();
    QByteArray iv = sealed.getIv();
    QByteArray tag = sealed.getTag();
    switch (GetParam()) {
    case Tamper::ciphertext:
        ciphertext[3] = char(ciphertext[3] ^ 0x01);
        break;
    case Tamper::tag:
        tag[15] = char(tag[15] ^ 0x80);
        break;
    case Tamper::iv:
        iv[0] = char(iv[0] ^ 0x01);
        break;
    case Tamper::key:
        key[31] ^= 0x01;
        break;
    case Tamper::shortTag:
        tag.chop(4);
        break;
    case Tamper::shortIv:
        iv.chop(1);
        break;
    case Tamper::truncated:
        ciphertext.chop(1);
        break;
    }
    EXPECT_THROW(ssl::decryptWithGcm(key, ssl::EncryptedDataGcm(ciphertext, iv, tag)), ssl::Error);
}

INSTANTIATE_TEST_SUITE_P(AnyChange, GcmTampered,
    testing::Values(Tamper::ciphertext, Tamper::tag, Tamper::iv, Tamper::key, Tamper::shortTag,
        Tamper::shortIv, Tamper::truncated),
    tamperName);

// Python derives and decrypts what we produced, and we decrypt what Python produced.
TEST(Interoperability, PythonCryptography)
{
    const QJsonObject python = runPeer({ "keygen" });
    const ssl::PublicKey pythonPublic = ssl::PublicKey::fromDer(fromBase64(python["public"]));
    ASSERT_TRUE(pythonPublic.isValid());

    const auto [ownPrivate, ownPublic] = ssl::generateKeyPairEC();
    const ssl::SharedKey key = ssl::deriveKey(ownPrivate, pythonPublic);
    const QByteArray message = "{\"stream\":305419896,\"listen\":\"239.1.1.1:8554\"}";
    const ssl::EncryptedDataGcm sealed = ssl::encryptWithGcm(key.bytes(), message);
    const QByteArray reply
        = "answer from the display, \xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";

    const QJsonObject answer = runPeer({ "exchange" },
        QJsonObject {
            { "private", python["private"] },
            { "peer", QString::fromLatin1(ownPublic.der().toBase64()) },
            { "iv", QString::fromLatin1(sealed.getIv().toBase64()) },
            { "ciphertext", QString::fromLatin1(sealed.getCiphertext().toBase64()) },
            { "tag", QString::fromLatin1(sealed.getTag().toBase64()) },
            { "reply", QString::fromLatin1(reply.toBase64()) },
        });
    EXPECT_EQ(fromBase64(answer["key"]), key.getKey());
    EXPECT_EQ(fromBase64(answer["plaintext"]), message);

    const ssl::EncryptedDataGcm fromPython(
        fromBase64(answer["ciphertext"]), fromBase64(answer["iv"]), fromBase64(answer["tag"]));
    EXPECT_EQ(ssl::decryptWithGcm(key.bytes(), fromPython), reply);
}

TEST(AvError, DescribesLibavutilCodes)
{
    EXPECT_EQ(AvError::errorString(-12), "Cannot allocate memory");
    EXPECT_EQ(AvError::errorString(-541478725), "End of file"); // AVERROR_EOF
    EXPECT_EQ(AvError::errorString(-1094995529), "Invalid data found when processing input");
    EXPECT_NE(AvError::errorString(-987654321).find("987654321"), std::string::npos);
}
