#pragma once
// Test support of libvesk_core, not API: the reference checksums of the real xxhsum tool.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace vesk::test {

// Runs xxhsum -H1 (XXH64) in dir over the relative names and returns its output, which is a
// transaction file: one "<16 hex digits>  <name>\n" line per name. Empty when the tool fails.
inline QByteArray xxhsumLines(const QString& dir, const QStringList& names)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("xxhsum"), QStringList { QStringLiteral("-H1") } + names);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        return {};
    }
    return process.readAllStandardOutput();
}

// The XXH64 of one file as xxhsum computes it; false in *ok when the tool fails.
inline std::uint64_t xxhsumOf(const QString& path, bool* ok)
{
    QProcess process;
    process.start(QStringLiteral("xxhsum"), { QStringLiteral("-H1"), path });
    *ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    const QByteArray out = process.readAllStandardOutput();
    return *ok ? out.left(16).toULongLong(ok, 16) : 0;
}

} // namespace vesk::test
