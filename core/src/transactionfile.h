#pragma once
// Not API: the transaction file of the content synchronisation, shared with its tests.

#include <vesk/checktransactionfileerror.h>
#include <vesk/expected.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <vector>

namespace vesk::detail {

// A transaction file lists names, never much: anything larger is not one.
constexpr qint64 maxTransactionFileSize = qint64(64) << 20;

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

// Every line of a whole transaction file as the synchronisation takes it, in file order. A name
// that would leave the directory is skipped with a warning; a name listed twice with the same
// checksum is taken once. Anything else that cannot be taken makes the whole file malformed, with
// a reason that names the line (the first such line in the file):
//   "..  ../x"  (with a checksum)         -> skipped, warned
//   "..  a.mp4" and later "..  ./a.mp4"   -> one entry a.mp4, when both checksums agree
//   the same with different checksums     -> "line 2 lists a.mp4 again with another checksum"
//   a blank line, or "..  ."              -> "line 1 names no file"
//   a name that is not UTF-8              -> "line 1: the name is not UTF-8"
//   a component over 255 bytes            -> "line 1: a part of the name is longer than 255 bytes"
//   a name over 4095 bytes as it stands   -> "line 1: the name is longer than 4095 bytes"
//   "..  video" and "..  video/a.mp4"     -> "video is listed as a file and as a directory"
// Memory and time grow with the size of the file alone (n log n, however deep its names): a line
// too long for a name is refused by its length before it is split, and names are compared sorted,
// never as sets of their directories. `quiet` logs nothing: for a TF whose warnings were logged
// when it was delivered (the played one).
Expected<TransactionList, QString> parseTransactionFile(
    const QByteArray& content, bool quiet = false);

// What tells the bytes of one transaction file from another's.
struct TransactionFileDigest
{
    qint64 size = 0;
    std::uint64_t hash = 0;

    friend bool operator==(const TransactionFileDigest&, const TransactionFileDigest&) = default;
};
TransactionFileDigest digestOf(const QByteArray& content);

// Logs why a transaction file is refused, as every refusal of one is logged.
void logRefusedTransactionFile(const QString& reason);

// The XXH64 checksum (seed 0) of the device's remaining bytes, read in pieces of 256 KiB, which
// keeps the memory small and the system calls few. Throws std::runtime_error when the device
// fails to read.
std::uint64_t hashDevice(QIODevice& device);

// Verifies every file that dir's TF lists; the verified names, in file order, without the names
// that were skipped for pointing outside dir. Stops at the first failing file. A TF that lists no
// file that could be verified is an incomplete delivery (NothingListed), never one of nothing.
Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(const QString& dir);

// Verifies the listed files below the open directory `dir`, never following a link; the same
// result. Names in `trusted` are listed without being read: the caller takes those files from
// elsewhere and verifies them there.
Expected<QList<QString>, CheckTransactionFileError> checkFiles(
    int dir, const TransactionList& entries, const QSet<QString>& trusted = {});

} // namespace vesk::detail
