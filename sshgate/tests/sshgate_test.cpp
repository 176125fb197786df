#include "command.h"
#include "homeentries.h"
#include "rsyncoptions.h"

#include <vesk/file/inside.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;
using namespace vesk::sshgate;

namespace {

// A home laid out as a paired register's, with the traps a hostile login could have left.
class Home
{
public:
    Home()
    {
        std::string pattern = (fs::temp_directory_path() / "sshgate-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
        for (const char* directory : { "sync_dir/video", ".ssh", "work_dir_a", "work_dir_b" })
            fs::create_directories(m_path / directory);
        for (const char* file : { "sync_dir/TF", "work_dir_a/TF", "shared.key" })
            std::ofstream(m_path / file) << file;
        fs::create_directory_symlink("../.ssh", m_path / "sync_dir/link");
        fs::create_symlink("../shared.key", m_path / "sync_dir/keylink");
        ::mkfifo((m_path / "sync_dir/fifo").c_str(), 0600);
        fs::create_directory_symlink("work_dir_a", m_path / "work_dir");
        m_fd = vesk::file::openDirectory(m_path);
    }
    ~Home() { fs::remove_all(m_path); }

    int fd() const { return m_fd.get(); }
    const fs::path& path() const { return m_path; }
    // Whether the open descriptor is the entry `relative` of the home.
    bool is(int fd, const std::string& relative) const
    {
        struct stat open
        {
        }, named {};
        return ::fstat(fd, &open) == 0 && ::lstat((m_path / relative).c_str(), &named) == 0
            && open.st_ino == named.st_ino && open.st_dev == named.st_dev;
    }

private:
    fs::path m_path;
    vesk::file::Descriptor m_fd;
};

} // namespace

// The table of rsyncoptions.h.
TEST(SshGate, RsyncOptions)
{
    for (const char* word : { "-tre.iLsfxCIvu", "-vvtrze.iLsfxCIvu", "-tce.LsfxCIvu",
             "-e.iLsfxCIvu", "--delete", "--delete-before", "--delete-during", "--delete-delay",
             "--delete-after", "--log-format=%i", "--compress-level=9", "--compress-choice=zstd",
             "--new-compress", "--old-compress", "--timeout=30", "--bwlimit=512" })
        EXPECT_EQ(refuseRsyncOption(word), std::nullopt) << word;
    // Named up to its '=' in the refusal.
    for (const char* word :
        { "--sender", "--temp-dir", "--partial-dir", "--backup-dir", "--log-file=/tmp/x",
            "--files-from=x", "--read-batch=x", "--write-batch=x", "--link-dest", "--copy-dest",
            "--compare-dest", "--remove-source-files", "--inplace", "--append", "--partial",
            "--delay-updates", "--delete-excluded", "--mkpath", "--log-format=X", "--timeout" }) {
        const std::string name = std::string(word).substr(0, std::string(word).find('='));
        EXPECT_EQ(refuseRsyncOption(word), "the option " + name + " is not allowed");
    }
    const std::pair<const char*, const char*> refused[] = {
        { "-logDtpre.iLsfxCIvu", "the flag 'l' is not allowed" },
        { "-Ktre.iLsfxCIvu", "the flag 'K' is not allowed" },
        { "-stre.iLsfxCIvu", "the flag 's' is not allowed" },
        { "-trRe.iLsfxCIvu", "the flag 'R' is not allowed" },
        { "-tr", "the flags lack rsync's capability string" },
        { "-tre.iLsfxCIvuQ", "the capability 'Q' is not known" },
        { "--compress-level=99", "the value of --compress-level is not allowed" },
        { "--compress-choice=zstd,x", "the value of --compress-choice is not allowed" },
        { "--timeout=-1", "the value of --timeout is not allowed" },
        { "--bwlimit=1m", "the value of --bwlimit is not allowed" },
    };
    for (const auto& [word, reason] : refused)
        EXPECT_EQ(refuseRsyncOption(word), reason) << word;
    // A long option name is echoed bounded.
    EXPECT_EQ(refuseRsyncOption("--" + std::string(5000, 'x'))->size(),
        std::string("the option  is not allowed").size() + 64);

    using Options = std::vector<std::string>;
    const std::tuple<Options, Options, unsigned> timeouts[] = {
        { { "-tre.iLsfxCIvu" }, { "-tre.iLsfxCIvu", "--timeout=600" }, 600 },
        { { "--timeout=30", "-tre.iLsfxCIvu" }, { "-tre.iLsfxCIvu", "--timeout=30" }, 30 },
        { { "--timeout=0" }, { "--timeout=600" }, 600 },
        { { "--timeout=5", "--timeout=9000" }, { "--timeout=600" }, 600 },
    };
    for (auto [options, bounded, seconds] : timeouts) {
        EXPECT_EQ(boundTimeout(options, 600), seconds);
        EXPECT_EQ(options, bounded);
    }
}

// The table of command.h.
TEST(SshGate, Commands)
{
    const std::pair<std::string, Command> table[] = {
        { "cat /var/lib/morlen-vesk/work_dir/TF", ReadPlayedTransactionFile {} },
        { "vesk-status --json", ReadStatus {} },
        { "cat /var/lib/morlen-vesk/status.json", ReadStatus {} },
        { "rsync --server -tre.iLsfxCIvu --delete . /var/lib/morlen-vesk/sync_dir/",
            RsyncReceive { { "rsync", "--server", "-tre.iLsfxCIvu", "--delete" },
                "/var/lib/morlen-vesk/sync_dir/" } },
        { "rsync --server -tce.LsfxCIvu . sync_dir/TF",
            RsyncReceive { { "rsync", "--server", "-tce.LsfxCIvu" }, "sync_dir/TF" } },
        { "", Refusal { "no command: this key only delivers with rsync into the sync directory" } },
        { "cat /var/lib/morlen-vesk/shared.key", Refusal { "not a command this key may run" } },
        { "cat /var/lib/morlen-vesk/token", Refusal { "not a command this key may run" } },
        { "cat  /var/lib/morlen-vesk/work_dir/TF", Refusal { "not a command this key may run" } },
        { "vesk-status", Refusal { "not a command this key may run" } },
        { "vesk-plays --after 41", ReadPlays { { "--after", "41" } } },
        { "vesk-plays --after 0 --limit 10000",
            ReadPlays { { "--after", "0", "--limit", "10000" } } },
        { "vesk-plays --ack 0b6e2f4c-1d2e-4f5a-8b9c-0d1e2f3a4b5c 41",
            ReadPlays { { "--ack", "0b6e2f4c-1d2e-4f5a-8b9c-0d1e2f3a4b5c", "41" } } },
        { "vesk-plays", Refusal { "not a command this key may run" } },
        { "vesk-plays --after -1", Refusal { "not a command this key may run" } },
        { "vesk-plays --after 1 --dir /tmp", Refusal { "not a command this key may run" } },
        { "vesk-plays --limit 5 --after 1", Refusal { "not a command this key may run" } },
        { "vesk-plays --after 12345678901234567890", Refusal { "not a command this key may run" } },
        { "vesk-plays --ack 0B6E2F4C-1D2E-4F5A-8B9C-0D1E2F3A4B5C 1",
            Refusal { "not a command this key may run" } },
        { "vesk-plays --ack LEDGER 1", Refusal { "not a command this key may run" } },
        { "sh", Refusal { "not a command this key may run" } },
        { "rsync --server --sender -tre.iLsfxCIvu . x",
            Refusal { "the option --sender is not allowed" } },
        { "rsync --server -tre.iLsfxCIvu --temp-dir /tmp . sync_dir/",
            Refusal { "the option --temp-dir is not allowed" } },
        { "rsync --server -tre.iLsfxCIvu . a b",
            Refusal { "rsync must end in . and one destination" } },
        { "rsync --server -tre.iLsfxCIvu .",
            Refusal { "rsync must end in . and one destination" } },
        { "rsync -tre.iLsfxCIvu . sync_dir/", Refusal { "only rsync --server may run" } },
        { "rsync --server -tre.iLsfxCIvu . sync\\ dir/", Refusal { "the command holds '\\'" } },
        { "vesk-status --json; id", Refusal { "the command holds ';'" } },
        { "vesk-status --json\nid", Refusal { "the command holds '\\x0a'" } },
        { "cat ~/token", Refusal { "the command holds '~'" } },
        { "rsync --server -tre.iLsfxCIvu . " + std::string(5000, 'x'),
            Refusal { "the command is too long" } },
    };
    for (const auto& [text, expected] : table)
        EXPECT_EQ(parseCommand(text), expected) << text;
}

// The table of homeentries.h, on a real home with links, a FIFO and files where directories
// would be.
TEST(SshGate, Destinations)
{
    const Home home;
    const std::string abs = home.path().string();
    struct Row
    {
        std::string destination;
        const char* directory; // the entry of the home the descriptor must be; nullptr: refused
        const char* nameOrReason;
    };
    const Row table[] = {
        { abs + "/sync_dir/", "sync_dir", "." },
        { abs + "/sync_dir", "sync_dir", "." },
        { "sync_dir", "sync_dir", "." },
        { "sync_dir/.", "sync_dir", "." },
        { "./sync_dir/", "sync_dir", "." },
        { abs + "/sync_dir/TF", "sync_dir", "./TF" },
        { "sync_dir/video/", "sync_dir/video", "." },
        { "sync_dir/new/", "sync_dir", "./new/" },
        { "sync_dir/video/new.mp4", "sync_dir/video", "./new.mp4" },
        { "sync_dir/../sync_dir/a", "sync_dir", "./a" },
        // Words rsync would take for options, after the others as well as before.
        { "sync_dir/--daemon", "sync_dir", "./--daemon" },
        { "sync_dir/-l/", "sync_dir", "./-l/" },
        { abs + "/../" + home.path().filename().string() + "/sync_dir/", "sync_dir", "." },
        { abs + "/.ssh/", nullptr, "the destination is outside the sync directory" },
        { "work_dir_a/", nullptr, "the destination is outside the sync directory" },
        { "work_dir/", nullptr, "the destination is outside the sync directory" },
        { ".", nullptr, "the destination is outside the sync directory" },
        { "/tmp/x", nullptr, "the destination is outside the sync directory" },
        { abs + "x/sync_dir", nullptr, "the destination is outside the sync directory" },
        { "sync_dir/../.ssh", nullptr, "the destination is outside the sync directory" },
        { "sync_dir/../../x", nullptr, "the destination is outside the sync directory" },
        { "sync_dir/link/", nullptr, "the destination passes a link" },
        { "sync_dir/link/authorized_keys", nullptr, "the destination passes a link" },
        { "sync_dir/keylink", nullptr, "the destination passes a link" },
        { "sync_dir/fifo", nullptr, "the destination is not a regular file" },
        { "sync_dir/TF/x", nullptr, "the destination cannot be opened: Not a directory" },
        { "sync_dir/a/b/", nullptr, "the destination cannot be opened: No such file or directory" },
    };
    for (const Row& row : table) {
        const Destination destination = resolveDestination(home.fd(), abs, row.destination);
        if (row.directory) {
            EXPECT_EQ(destination.refusal, "") << row.destination;
            EXPECT_TRUE(home.is(destination.directory.get(), row.directory)) << row.destination;
            EXPECT_EQ(destination.name, row.nameOrReason) << row.destination;
        } else {
            EXPECT_EQ(destination.refusal, row.nameOrReason) << row.destination;
            EXPECT_FALSE(destination.directory.isOpen()) << row.destination;
        }
    }

    // The sync directory itself a link: nothing below the home is reached through it.
    fs::rename(home.path() / "sync_dir", home.path() / "sync_dir.real");
    fs::create_directory_symlink("sync_dir.real", home.path() / "sync_dir");
    EXPECT_EQ(
        resolveDestination(home.fd(), abs, "sync_dir/").refusal, "the destination passes a link");
}

// Only the TF of the work directory that `work_dir` names, and only when the link names one of
// the two by its plain name.
TEST(SshGate, PlayedTransactionFile)
{
    const Home home;
    const auto outside = make_error_code(vesk::file::FileError::OutsideDirectory);
    const std::pair<std::string, std::error_code> table[] = {
        { "work_dir_a", {} },
        { "work_dir_b", std::make_error_code(std::errc::no_such_file_or_directory) }, // no TF
        { "./work_dir_a", outside },
        { "sync_dir", outside },
        { "../etc", outside },
        { (home.path() / "work_dir_a").string(), outside },
    };
    for (const auto& [target, expected] : table) {
        fs::remove(home.path() / "work_dir");
        fs::create_directory_symlink(target, home.path() / "work_dir");
        std::error_code error;
        const vesk::file::Descriptor tf = openPlayedTransactionFile(home.fd(), error);
        EXPECT_EQ(error, expected) << target;
        EXPECT_EQ(tf.isOpen(), !expected) << target;
    }
    // TF itself a link to a secret of the home.
    fs::remove(home.path() / "work_dir");
    fs::create_directory_symlink("work_dir_a", home.path() / "work_dir");
    fs::remove(home.path() / "work_dir_a/TF");
    fs::create_symlink("../shared.key", home.path() / "work_dir_a/TF");
    std::error_code error;
    EXPECT_FALSE(openPlayedTransactionFile(home.fd(), error).isOpen());
    EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels);
}
