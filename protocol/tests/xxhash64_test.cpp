#include "xxhash64.h"
#include "xxhsum.h"

#include <vesk/protocol/transactionfile.h>

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using vesk::XXHash64;
using vesk::protocol::hashDevice;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

TEST(XXHash64, PublishedValues)
{
    XXHash64 empty(0);
    EXPECT_EQ(empty.hash(), 0xef46db3751d8e999ULL);

    XXHash64 abc(0);
    EXPECT_TRUE(abc.add("abc", 3));
    EXPECT_EQ(abc.hash(), 0x44bc2cf5ad770999ULL);
}

TEST(XXHash64, NullOrEmptyInputAddsNothing)
{
    XXHash64 hasher(0);
    EXPECT_FALSE(hasher.add(nullptr, 5));
    EXPECT_FALSE(hasher.add("abc", 0));
    EXPECT_EQ(hasher.hash(), 0xef46db3751d8e999ULL);
    EXPECT_TRUE(hasher.add("abc", 3));
    EXPECT_EQ(hasher.hash(), 0x44bc2cf5ad770999ULL);
}

TEST(XXHash64, PiecesOfAnySizeGiveTheWholeDigest)
{
    const QByteArray data = randomBytes(100000, 7);
    XXHash64 whole(0);
    whole.add(data.constData(), data.size());

    // Piece sizes around the 32-byte stripe, so the carry buffer is filled, emptied and skipped.
    XXHash64 pieces(0);
    const int sizes[] = { 1, 31, 32, 33, 7, 64, 100, 8192, 3 };
    qsizetype offset = 0;
    for (int i = 0; offset < data.size(); ++i) {
        const qsizetype n = std::min<qsizetype>(sizes[i % std::size(sizes)], data.size() - offset);
        ASSERT_TRUE(pieces.add(data.constData() + offset, static_cast<std::size_t>(n)));
        offset += n;
    }
    EXPECT_EQ(pieces.hash(), whole.hash());
}

TEST(XXHash64, HashLeavesTheStateAlone)
{
    XXHash64 hasher(0);
    hasher.add("ab", 2);
    const std::uint64_t partial = hasher.hash();
    EXPECT_EQ(hasher.hash(), partial);
    hasher.add("c", 1);
    EXPECT_EQ(hasher.hash(), 0x44bc2cf5ad770999ULL);
}

TEST(XXHash64, SeedChangesTheDigest)
{
    XXHash64 seeded(1);
    EXPECT_NE(seeded.hash(), XXHash64(0).hash());
}

class HashDeviceMatchesXxhsum : public testing::TestWithParam<qsizetype>
{
};

TEST_P(HashDeviceMatchesXxhsum, OnAFileOfThisSize)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    ASSERT_EQ(out.write(randomBytes(GetParam(), static_cast<quint32>(GetParam()))), GetParam());
    out.close();

    bool ok = false;
    const std::uint64_t expected = vesk::test::xxhsumOf(path, &ok);
    ASSERT_TRUE(ok) << "xxhsum failed";

    QFile in(path);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    EXPECT_EQ(hashDevice(in), expected);
    in.close();

    // Buffered and unbuffered devices must agree: the check opens files unbuffered.
    ASSERT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    EXPECT_EQ(hashDevice(in), expected);
    in.close();

    // The descriptor's way, which the management server lists its files with.
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const vesk::protocol::FileHash file = vesk::protocol::hashFile(in.handle());
    EXPECT_EQ(file.hash, expected);
    EXPECT_EQ(file.size, GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, HashDeviceMatchesXxhsum, testing::Values(0, 3, 8191, 8192, 8193, 3 * 1024 * 1024 + 17));

TEST(HashDevice, HashesOnlyTheRemainingBytes)
{
    QByteArray data("xxabc");
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    ASSERT_EQ(buffer.read(2), QByteArray("xx"));
    EXPECT_EQ(hashDevice(buffer), 0x44bc2cf5ad770999ULL);
    EXPECT_EQ(hashDevice(buffer), 0xef46db3751d8e999ULL);
}

// Claims bytes but fails every read, as a file on a failing disk does.
class FailingDevice : public QIODevice
{
public:
    FailingDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    qint64 size() const override { return 100; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64) override { return -1; }
};

TEST(HashDevice, ThrowsInsteadOfSpinningWhenReadsFail)
{
    FailingDevice device;
    EXPECT_THROW(hashDevice(device), std::runtime_error);
}

} // namespace
