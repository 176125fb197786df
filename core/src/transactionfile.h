#pragma once
// Not API: the transaction file as the content synchronisation verifies it, shared with its
// tests. The format itself is libvesk_protocol's.

#include <vesk/checktransactionfileerror.h>
#include <vesk/expected.h>
#include <vesk/protocol/transactionfile.h>

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

namespace vesk::detail {

using protocol::digestOf;
using protocol::hashDevice;
using protocol::maxTransactionFileSize;
using protocol::parseTransactionLine;
using protocol::TransactionFileDigest;
using protocol::TransactionLine;
using protocol::transactionLines;
using protocol::TransactionList;

// The transaction file as the synchronisation takes it (protocol::parseTransactionFile), with
// what it skipped and why it is refused logged as every such file is logged: the first few names
// outside the directory named, the rest counted. `quiet` logs nothing: for a TF whose warnings
// were logged when it was delivered (the played one).
Expected<TransactionList, QString> parseTransactionFile(
    const QByteArray& content, bool quiet = false);

// Logs why a transaction file is refused, as every refusal of one is logged.
void logRefusedTransactionFile(const QString& reason);

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
