#pragma once
// Not API: the transaction-file check of the content synchronisation, shared with its tests.

#include <vesk/checktransactionfileerror.h>
#include <vesk/expected.h>

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>

namespace vesk::detail {

// A transaction file lists names, never much: anything larger is not one.
constexpr qint64 maxTransactionFileSize = qint64(64) << 20;

struct TransactionEntry
{
    QString name;
    std::uint64_t checksum = 0;
};

// One line of a transaction file as read by readLine, line end included:
//   "ef46db3751d8e999  video/a.mp4\n"   -> ef46db3751d8e999, "video/a.mp4"
//   "EF46DB3751D8E999  a.mp4\r\n"       -> ef46db3751d8e999, "a.mp4"
//   "ef46db3751d8e999  a.mp4"           -> ef46db3751d8e999, "a.mp4" (last line, no line feed)
//   "ef46db3751d8e999  a\r"             -> ef46db3751d8e999, "a\r" (a CR counts only before LF)
//   "zzzzzzzzzzzzzzzz  a.mp4\n"         -> 0, "a.mp4"
//   "ef46db37\n"                        -> 0xef46db37, ""
//   "\n"                                -> 0, ""
TransactionEntry parseTransactionLine(QByteArray line);

// Every line of a whole transaction file, in file order.
QList<TransactionEntry> parseTransactionFile(const QByteArray& content);

// The XXH64 checksum (seed 0) of the device's remaining bytes, read in pieces of 256 KiB, which
// keeps the memory small and the system calls few. Throws std::runtime_error when the device
// fails to read.
std::uint64_t hashDevice(QIODevice& device);

// Verifies every file that dir's TF lists; the verified names, in file order, without the names
// that were skipped for pointing outside dir. Stops at the first failing file. A TF that lists no
// file that could be verified is an incomplete delivery (NothingListed), never one of nothing.
Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(const QString& dir);

// The same on an open directory, never following a link below it. Names in `trusted` are listed
// without being read: the caller takes those files from elsewhere and verifies them there.
Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(
    int dir, const QSet<QString>& trusted = {});

} // namespace vesk::detail
