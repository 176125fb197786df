#include "logcapture.h"
#include "testcore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using vesk::log::Level;
using vesk::test::LogCapture;
using vesk::test::TestCore;
using vesk::test::writeFile;

namespace {

const QString key
    = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOtMLVIHUBOxeGqsB0LCvazL2fx3FBYL077DAj4goRk2 mgmt";
const QString otherKey
    = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAwxxOlnb/cGzD6xN4L1l6UJB/2WQMeAqh97/vngg4II other";

QString gate()
{
    return QCoreApplication::applicationDirPath() + "/vesk-sshgate";
}

QByteArray restricted(const QString& program, const QString& text)
{
    return "restrict,command=\"" + program.toUtf8() + "\" " + text.toUtf8() + "\n";
}

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// The four files in the order the store writes them: authorized_keys, token, address, shared.key.
QStringList pairingPaths(const TestCore& core)
{
    return { core.authorizedKeysPath(), core.accessTokenPath(), core.serverAddressPath(),
        core.sharedKeyPath() };
}

// The four files' contents, joined for a readable comparison.
std::string pairing(const TestCore& core)
{
    QByteArrayList files;
    for (const QString& path : pairingPaths(core))
        files.append(read(path));
    return files.join('|').toStdString();
}

QByteArrayList oldSet()
{
    return { restricted(gate(), key), QByteArray(16, 'o'), "10.0.0.5:5000", QByteArray(32, 'O') };
}

QByteArrayList newSet()
{
    return { restricted(gate(), otherKey), QByteArray(16, 'n'), "10.0.0.6:6000",
        QByteArray(32, 'N') };
}

} // namespace

// The store writes the new set into ".pairing.new", renames it ".pairing.ready" (the commit) and
// moves the files into place one by one. Every state a crash can leave is laid out here; the
// start finds one whole set: the old one before the commit, the new one after it.
TEST(PairingStore, EveryCrashStateBecomesOneWholeSetAtStart)
{
    const QStringList staged { "authorized_keys", "token", "address", "shared.key" };
    for (const bool committed : { false, true }) {
        for (qsizetype done = 0; done <= staged.size(); ++done) {
            SCOPED_TRACE(testing::Message() << (committed ? "moved " : "written ") << done);
            TestCore core;
            QDir().mkpath(core.sshPath());
            for (qsizetype i = 0; i < staged.size(); ++i)
                ASSERT_TRUE(writeFile(pairingPaths(core)[i], oldSet()[i]));
            const QString staging
                = core.homeDir + (committed ? "/.pairing.ready" : "/.pairing.new");
            QDir().mkpath(staging);
            for (qsizetype i = 0; i < staged.size(); ++i) {
                // Before the commit: the first `done` written. After it: the first `done` moved.
                const bool inPlace = committed && i < done;
                const bool inStaging = committed ? i >= done : i < done;
                if (inPlace) {
                    ASSERT_TRUE(writeFile(pairingPaths(core)[i], newSet()[i]));
                }
                if (inStaging) {
                    ASSERT_TRUE(writeFile(staging + "/" + staged[i], newSet()[i]));
                }
            }
            // A write that was cut short leaves its temporary file.
            if (!committed) {
                ASSERT_TRUE(writeFile(staging + "/.token.Xy12Ab", "half"));
            }

            core.settlePairing();
            EXPECT_EQ(pairing(core), (committed ? newSet() : oldSet()).join('|').toStdString());
            EXPECT_EQ(
                QDir(core.homeDir).entryList({ ".pairing*" }, QDir::AllEntries | QDir::Hidden),
                QStringList());
        }
    }
}

// A register paired by an earlier version holds the bare key: the start puts it behind the forced
// command, the key itself unchanged, so an upgrade closes the hole without a new pairing.
TEST(PairingStore, StoredKeyIsRestrictedAtStart)
{
    const QString rewritten
        = "Ключ управляющего сервера ограничен: ему доступна только доставка через " + gate();
    const QString unknown = "%1 не содержит один ключ управляющего сервера - оставлен как есть";
    struct Row
    {
        QByteArray stored;
        QByteArray expected;
        Level level;
        QString logged; // %1: the file's path; empty: nothing logged
    };
    const Row table[] = {
        { key.toUtf8() + "\n", restricted(gate(), key), Level::info, rewritten },
        { key.toUtf8(), restricted(gate(), key), Level::info, rewritten },
        { restricted("/usr/lib/vesk/vesk-sshgate", key), restricted(gate(), key), Level::info,
            rewritten },
        { restricted(gate(), key), restricted(gate(), key), Level::info, {} },
        { "command=\"/bin/sh\" " + key.toUtf8() + "\n", {}, Level::warn, unknown },
        { restricted("/a b/vesk-sshgate", key), {}, Level::warn, unknown },
        { key.toUtf8() + "\n" + otherKey.toUtf8() + "\n", {}, Level::warn, unknown },
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.stored.toStdString());
        TestCore core;
        ASSERT_TRUE(writeFile(core.authorizedKeysPath(), row.stored));
        LogCapture::instance().clear();
        core.settlePairing();
        EXPECT_EQ(
            read(core.authorizedKeysPath()), row.expected.isNull() ? row.stored : row.expected);
        QList<LogCapture::Line> expected;
        if (!row.logged.isEmpty())
            expected.append({ row.level, "vesk.core",
                row.logged.contains("%1") ? row.logged.arg(core.authorizedKeysPath())
                                          : row.logged });
        EXPECT_EQ(LogCapture::instance().lines("vesk.core"), expected);
        struct stat st
        {
        };
        ASSERT_EQ(::stat(QFile::encodeName(core.authorizedKeysPath()).constData(), &st), 0);
        if (!row.expected.isNull() && row.expected != row.stored) {
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        }
    }
}
