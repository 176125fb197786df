#include "logcapture.h"
#include "statusreport.h"
#include "testcore.h"
#include "xxhsum.h"

#include <vesk/log/level.h>
#include <vesk/playlist.h>
#include <vesk/stream.h>

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

namespace fs = std::filesystem;
using vesk::Generator;
using vesk::log::Level;
using vesk::test::LogCapture;
using vesk::test::TestCore;
using vesk::test::writeFile;

namespace {

const QString changed = QStringLiteral("Плейлист изменен");
const QString applied = QStringLiteral("  плейлист применен");

fs::path fsPath(const QString& path)
{
    return fs::path(path.toUtf8().toStdString());
}

// How many descriptors of this process are open on the directory at `path`.
int openDescriptors(const QString& path)
{
    struct stat wanted = {};
    if (::stat(QFile::encodeName(path).constData(), &wanted) != 0)
        return -1;
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        struct stat open = {};
        if (::stat(entry.path().c_str(), &open) == 0 && open.st_dev == wanted.st_dev
            && open.st_ino == wanted.st_ino)
            ++count;
    }
    return count;
}

class PlaylistApplication : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(m_core.workPathA()));
        ASSERT_TRUE(QDir().mkpath(m_core.workPathB()));
        LogCapture::instance().clear();
    }

    void link(const char* target)
    {
        std::error_code error;
        fs::remove(fsPath(m_core.workPathClean()), error);
        fs::create_symlink(target, fsPath(m_core.workPathClean()));
    }

    QStringList messages() const { return LogCapture::instance().messages("vesk.core"); }

    TestCore m_core;
};

TEST_F(PlaylistApplication, WithoutTheLinkNothingChanges)
{
    m_core.m_stream->setProgramme(
        {}, "/before", QSharedPointer<Generator>::create(), "http://example.org/before.png");

    m_core.onPlaylistChanged();
    EXPECT_EQ(messages(),
        QStringList({ changed, "  невозможно применить плейлист: No such file or directory" }));
    EXPECT_EQ(LogCapture::instance().lines("vesk.core").last().level, Level::error);
    EXPECT_EQ(m_core.m_stream->programme().serial, 1u);
    EXPECT_EQ(m_core.m_stream->programme().placeholder, "http://example.org/before.png");
}

TEST_F(PlaylistApplication, EmptyFileInstallsAnEmptyGenerator)
{
    link("work_dir_a");
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/playlist.ini", {}));
    m_core.m_stream->setProgramme({}, {}, {}, "http://example.org/before.png");

    m_core.onPlaylistChanged();
    EXPECT_EQ(messages(), QStringList({ changed, applied }));
    const vesk::Stream::Programme programme = m_core.m_stream->programme();
    EXPECT_EQ(programme.serial, 2u);
    EXPECT_TRUE(programme.playlists.empty());
    EXPECT_EQ(programme.placeholder, QString());
}

TEST_F(PlaylistApplication, EveryCallHandsOverANewProgramme)
{
    link("work_dir_a");
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/playlist.ini",
        "[main]\ndays=all\n[main.1]\nurl=a.mp4\ntimeplay=10\n"
        "[placeholder]\nurl=http://example.org/idle.png\n"));

    m_core.onPlaylistChanged();
    const vesk::Stream::Programme first = m_core.m_stream->programme();
    EXPECT_EQ(first.playlists, QStringList({ "main" }));
    EXPECT_EQ(first.placeholder, "http://example.org/idle.png");

    m_core.onPlaylistChanged();
    const vesk::Stream::Programme second = m_core.m_stream->programme();
    EXPECT_EQ(second.serial, first.serial + 1);
    EXPECT_EQ(second.playlists, first.playlists);
    EXPECT_EQ(messages(), QStringList({ changed, applied, changed, applied }));
}

TEST_F(PlaylistApplication, ReadsThroughTheLinkAsItIsNow)
{
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/playlist.ini", "[placeholder]\nurl=a\n"));
    ASSERT_TRUE(writeFile(m_core.workPathB() + "/playlist.ini", "[placeholder]\nurl=b\n"));
    // The status names what plays by the XXH64 of its TF, as xxhsum computes it.
    const auto delivery = [](const QString& work) {
        EXPECT_TRUE(writeFile(work + "/TF", work.toUtf8()));
        return vesk::test::xxhsumLines(work, { "TF" }).left(16);
    };
    const QByteArray deliveryA = delivery(m_core.workPathA());
    const QByteArray deliveryB = delivery(m_core.workPathB());
    const auto played = [this] {
        const auto& record = m_core.m_status->played;
        return record ? vesk::status::deliveryText(record->delivery).toLatin1() : QByteArray();
    };
    // The engine gets the directory the link named, not the link, which a later delivery moves:
    // a descriptor of its own of that directory, and the old one is given back.
    link("work_dir_a");
    m_core.onPlaylistChanged();
    EXPECT_EQ(m_core.m_stream->programme().placeholder, "a");
    EXPECT_EQ(m_core.m_stream->programme().directory, m_core.workPathA());
    EXPECT_EQ(openDescriptors(m_core.workPathA()), 1);
    EXPECT_EQ(played(), deliveryA);
    link("work_dir_b");
    m_core.onPlaylistChanged();
    EXPECT_EQ(m_core.m_stream->programme().placeholder, "b");
    EXPECT_EQ(m_core.m_stream->programme().directory, m_core.workPathB());
    EXPECT_EQ(openDescriptors(m_core.workPathA()), 0);
    EXPECT_EQ(openDescriptors(m_core.workPathB()), 1);
    EXPECT_EQ(played(), deliveryB);
    // A delivery without a readable playlist (none, or one larger than a playlist can be): the
    // old schedule must not play the new directory's files, nor stay on the directory the next
    // delivery overwrites; the placeholder, a URL, stays on the displays.
    ASSERT_TRUE(writeFile(m_core.workPathA() + "/playlist.ini",
        "[placeholder]\nurl=a\n" + QByteArray(vesk::PlaylistParser::maxFileSize, ';')));
    link("work_dir_a");
    m_core.onPlaylistChanged();
    EXPECT_EQ(m_core.m_stream->programme().directory, m_core.workPathA());
    EXPECT_TRUE(m_core.m_stream->programme().playlists.isEmpty());
    EXPECT_EQ(m_core.m_stream->programme().placeholder, "b");
    // Nothing of a delivery is scheduled now.
    EXPECT_TRUE(played().isEmpty());
    EXPECT_EQ(messages().last(),
        "  невозможно применить плейлист: File too large: more than 1048576 bytes");
}

TEST_F(PlaylistApplication, UnreadableFileIsReportedWithItsReason)
{
    link("work_dir_a");
    // A directory in the file's place opens but cannot be read as a playlist.
    ASSERT_TRUE(QDir().mkpath(m_core.workPathA() + "/playlist.ini"));
    m_core.onPlaylistChanged();
    ASSERT_EQ(messages().size(), 2);
    EXPECT_TRUE(messages().last().startsWith("  невозможно применить плейлист: "));
    EXPECT_EQ(m_core.m_stream->programme().serial, 0u);
}

} // namespace
