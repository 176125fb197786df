#pragma once
// Not API: the transaction-file check of the content synchronisation, shared with its tests.

#include <vesk/checktransactionfileerror.h>
#include <vesk/expected.h>

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>

#include <cstdint>

class QFile;

namespace vesk::detail {

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

// True for names that could reach outside the content directory: absolute ones and those with a
// ".." component anywhere ("../x", "a/../../x", "a/.."). "..x" and "a/..b" are ordinary names.
bool isOutsideDirectory(const QString& name);

// Opens dir/name read-only for hashing, refusing to follow a symbolic link in any component of
// name (dir itself may be reached through links) and refusing anything but a regular file, so a
// delivery can neither point the check at files elsewhere nor block it with a FIFO. On failure
// returns false and sets *error to a readable reason.
bool openInsideDirectory(
    QFile& file, const QString& dir, const QString& name, QIODevice::OpenMode mode, QString* error);

// Opens path read-only when its last component is a regular file and not a symbolic link.
bool openRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error);

// The XXH64 checksum (seed 0) of the device's remaining bytes, read in 8192-byte pieces. Throws
// std::runtime_error when the device fails to read.
std::uint64_t hashDevice(QIODevice& device);

// Verifies every file that dir's TF lists; the verified names, in file order, without the names
// that were skipped for pointing outside dir. Stops at the first failing file.
Expected<QList<QString>, CheckTransactionFileError> checkTransactionFile(const QString& dir);

} // namespace vesk::detail
