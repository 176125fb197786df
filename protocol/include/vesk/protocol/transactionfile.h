#pragma once

// The transaction file "TF" of a delivery: one line per file, the XXH64 (seed 0) of its bytes in
// 16 hexadecimal digits, two blanks and its name, as xxhsum -H1 writes it:
//
//   ef46db3751d8e999  video/a.mp4
//
// The management server writes it (formatTransactionLine, hashFile), the register reads it
// (parseTransactionFile, hashFile); both sides are here so that they cannot drift apart.

#include <vesk/expected.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

namespace vesk::protocol {

// A transaction file lists names, never much: anything larger is not one.
constexpr qint64 maxTransactionFileSize = qint64(64) << 20;

// Files are hashed in pieces of this size, which keeps the memory small and the system calls few.
constexpr qint64 hashChunkSize = 256 * 1024;

// The XXH64 (seed 0) of `bytes`: what names a file in its line, and a delivery by its TF.
std::uint64_t xxh64(QByteArrayView bytes);

// The checksum of the device's remaining bytes, read in pieces of hashChunkSize. Throws
// std::runtime_error when the device fails to read.
std::uint64_t hashDevice(QIODevice& device);

// The checksum of the open file `fd` from its current offset to its end, and how many bytes that
// was, read in pieces of hashChunkSize. Throws std::system_error when the file fails to read.
struct FileHash
{
    std::uint64_t hash = 0;
    qint64 size = 0;
};
FileHash hashFile(int fd);

// One line as the management server writes it, line feed included:
//   (0xef46db3751d8e999, "video/a.mp4") -> "ef46db3751d8e999  video/a.mp4\n"
//   (0x1, "a")                          -> "0000000000000001  a\n"
QByteArray formatTransactionLine(std::uint64_t checksum, QByteArrayView name);

// One line of a transaction file as it stands: the checksum and the name's bytes.
struct TransactionLine
{
    QByteArray name;
    std::uint64_t checksum = 0;
};

// One line as read by readLine, line end included:
//   "ef46db3751d8e999  video/a.mp4\n"   -> ef46db3751d8e999, "video/a.mp4"
//   "EF46DB3751D8E999  a.mp4\r\n"       -> ef46db3751d8e999, "a.mp4"
//   "ef46db3751d8e999  a.mp4"           -> ef46db3751d8e999, "a.mp4" (last line, no line feed)
//   "ef46db3751d8e999  a\r"             -> ef46db3751d8e999, "a\r" (a CR counts only before LF)
//   "zzzzzzzzzzzzzzzz  a.mp4\n"         -> 0, "a.mp4"
//   "ef46db37\n"                        -> 0xef46db37, ""
//   "\n"                                -> 0, ""
TransactionLine parseTransactionLine(QByteArray line);

// Every line of a whole transaction file as it stands, in file order.
QList<TransactionLine> transactionLines(const QByteArray& content);

// The files a delivery lists, in file order: each name in the one form every step uses (empty
// and "." components dropped, "./a//b" is "a/b"), UTF-8, and its checksum. The names share one
// buffer: a list of millions of names costs little more than their bytes.
class TransactionList
{
public:
    struct Entry
    {
        quint32 name = 0; // where the name starts in the buffer
        quint32 size = 0;
        std::uint64_t checksum = 0;
    };

    TransactionList() = default;
    // `names` holds each entry's name at its place.
    TransactionList(QByteArray names, std::vector<Entry> entries)
        : m_names(std::move(names))
        , m_entries(std::move(entries))
    {
    }

    qsizetype size() const { return qsizetype(m_entries.size()); }
    QByteArrayView name(qsizetype i) const
    {
        return QByteArrayView(m_names).sliced(
            m_entries[std::size_t(i)].name, m_entries[std::size_t(i)].size);
    }
    QString nameText(qsizetype i) const { return QString::fromUtf8(name(i)); }
    std::uint64_t checksum(qsizetype i) const { return m_entries[std::size_t(i)].checksum; }

private:
    QByteArray m_names;
    std::vector<Entry> m_entries;
};

// A whole transaction file as the register takes it.
struct TransactionFile
{
    // The listed files, or why the whole file is refused.
    Expected<TransactionList, QString> list = Unexpected(QString());
    // The names that would leave the directory and were skipped: the first
    // maxNamedOutside as they stand, in file order, and how many there were in all, so that one
    // delivery of millions of such names cannot fill a log.
    static constexpr int maxNamedOutside = 8;
    QList<QByteArray> namedOutside;
    qsizetype outside = 0;
};

// Every line of a whole transaction file as the synchronisation takes it, in file order. A name
// that would leave the directory is skipped (and counted in `outside`); a name listed twice with
// the same checksum is taken once. Anything else that cannot be taken makes the whole file
// malformed, with a reason that names the line (the first such line in the file):
//   "..  ../x"  (with a checksum)         -> skipped
//   "..  a.mp4" and later "..  ./a.mp4"   -> one entry a.mp4, when both checksums agree
//   the same with different checksums     -> "line 2 lists a.mp4 again with another checksum"
//   a blank line, or "..  ."              -> "line 1 names no file"
//   a name that is not UTF-8              -> "line 1: the name is not UTF-8"
//   a component over 255 bytes            -> "line 1: a part of the name is longer than 255 bytes"
//   a name over 4095 bytes as it stands   -> "line 1: the name is longer than 4095 bytes"
//   "..  video" and "..  video/a.mp4"     -> "video is listed as a file and as a directory"
// Memory and time grow with the size of the file alone (n log n, however deep its names): a line
// too long for a name is refused by its length before it is split, and names are compared sorted,
// never as sets of their directories. Nothing is logged: the caller says what it makes of it.
TransactionFile parseTransactionFile(const QByteArray& content);

// What tells the bytes of one transaction file from another's.
struct TransactionFileDigest
{
    qint64 size = 0;
    std::uint64_t hash = 0;

    friend bool operator==(const TransactionFileDigest&, const TransactionFileDigest&) = default;
};
TransactionFileDigest digestOf(const QByteArray& content);

} // namespace vesk::protocol
