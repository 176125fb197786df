#include "confinement.h"

#include <vesk/file/fileoperations.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace fs = std::filesystem;
using namespace vesk::sshgate;

namespace {

// One operation, as the confined process sees it: 0 or its errno.
using Attempt = std::function<int()>;

int result(int returned)
{
    return returned < 0 ? errno : 0;
}

int opened(const fs::path& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    return fd < 0 ? errno : (::close(fd), 0);
}

// rsync as the gate runs it, its output read back: what the loader and libraries need is there.
int rsyncRuns()
{
    int out[2];
    if (::pipe(out) != 0)
        return errno;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execl("/usr/bin/rsync", "rsync", "--version", nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    char buffer[4096];
    while (::read(out[0], buffer, sizeof buffer) > 0) { }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : ECHILD;
}

int tcpConnect()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int done = result(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ::close(s);
    // Refused by the port or not even tried: what matters is whether Landlock stopped it.
    return done == ECONNREFUSED ? 0 : done;
}

// Runs `setUp` and then every attempt in a child (confinement is for good), and returns what
// each attempt gave; -1 for all when setUp fails.
std::vector<int> inChild(const std::function<bool()>& setUp, const std::vector<Attempt>& attempts)
{
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<int> results(attempts.size(), -1);
        if (setUp()) {
            for (std::size_t i = 0; i < attempts.size(); ++i)
                results[i] = attempts[i]();
        }
        const auto size = ssize_t(results.size() * sizeof(int));
        ::_exit(::write(channel[1], results.data(), std::size_t(size)) == size ? 0 : 1);
    }
    ::close(channel[1]);
    std::vector<int> results(attempts.size(), -2);
    EXPECT_EQ(::read(channel[0], results.data(), results.size() * sizeof(int)),
        ssize_t(results.size() * sizeof(int)));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return results;
}

class Home : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "confinement-XXXXXX").string();
        m_root = ::mkdtemp(pattern.data());
        fs::create_directories(m_root / "sync_dir/video");
        std::ofstream(m_root / "sync_dir/video/a.mp4") << "a";
        std::ofstream(m_root / "shared.key") << "secret";
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path m_root;
};

} // namespace

// What rsync can reach once the gate has confined it to the sync directory.
TEST_F(Home, ConfinedToTheDestination)
{
    const int abi = landlockAbi();
    if (abi == 0)
        GTEST_SKIP() << "this kernel has no Landlock";
    const fs::path sync = m_root / "sync_dir";
    const struct
    {
        const char* what;
        Attempt attempt;
        int expected;
    } table[] = {
        { "create a file", [&] { return opened(sync / "new", O_WRONLY | O_CREAT | O_EXCL); }, 0 },
        { "read a file", [&] { return opened(sync / "video/a.mp4", O_RDONLY); }, 0 },
        { "make a directory", [&] { return result(::mkdir((sync / "d").c_str(), 0755)); }, 0 },
        { "rename into it",
            [&] { return result(::rename((sync / "new").c_str(), (sync / "d/new").c_str())); }, 0 },
        { "truncate", [&] { return result(::truncate((sync / "d/new").c_str(), 0)); }, 0 },
        { "remove a file", [&] { return result(::unlink((sync / "d/new").c_str())); }, 0 },
        { "remove a directory", [&] { return result(::rmdir((sync / "d").c_str())); }, 0 },
        { "run rsync", rsyncRuns, 0 },
        { "make a link", [&] { return result(::symlink("../shared.key", (sync / "l").c_str())); },
            EACCES },
        { "make a FIFO", [&] { return result(::mkfifo((sync / "f").c_str(), 0600)); }, EACCES },
        { "read the shared key", [&] { return opened(m_root / "shared.key", O_RDONLY); }, EACCES },
        { "write beside the sync directory",
            [&] { return opened(m_root / "token", O_WRONLY | O_CREAT); }, EACCES },
        { "read /etc/passwd", [] { return opened("/etc/passwd", O_RDONLY); }, EACCES },
        { "write /dev/null", [] { return opened("/dev/null", O_WRONLY); }, EACCES },
        { "connect over TCP", tcpConnect, abi >= 4 ? EACCES : 0 },
    };
    std::vector<Attempt> attempts;
    for (const auto& row : table)
        attempts.push_back(row.attempt);
    const std::vector<int> results = inChild(
        [&] {
            const Confinement confinement(vesk::file::openDirectory(sync).get());
            return confinement.available() && confinement.restrictSelf() == 0;
        },
        attempts);
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], table[i].expected) << table[i].what;
}

// A kernel without Landlock (absent: ENOSYS; left off at boot: EOPNOTSUPP), made here by a
// seccomp filter that the child cannot lift: the confinement is unavailable, restrictSelf still
// takes new privileges away, and what the account may read stays readable.
TEST_F(Home, WithoutLandlock)
{
    for (const int missing : { ENOSYS, EOPNOTSUPP }) {
        const std::vector<int> results = inChild(
            [&] {
                sock_filter filter[] = {
                    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_landlock_create_ruleset, 0, 1),
                    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | unsigned(missing)),
                    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                };
                const sock_fprog program { 4, filter };
                return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
                    && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
            },
            {
                [] { return landlockAbi(); },
                [&] {
                    const Confinement confinement(
                        vesk::file::openDirectory(m_root / "sync_dir").get());
                    return int(confinement.available()) * 100 + confinement.restrictSelf();
                },
                [] { return int(::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0)); },
                [&] { return opened(m_root / "shared.key", O_RDONLY); },
            });
        EXPECT_EQ(results, (std::vector<int> { 0, 0, 1, 0 })) << missing;
    }
}
