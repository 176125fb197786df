#include "session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using namespace vesk::sshgate;
using std::chrono::seconds;

namespace {

// Small enough to be reached by a test in a second or two.
const SessionLimits brief { 64ULL << 20, 16, 1, 7, seconds(1), seconds(1) };

SessionEnd shell(const std::string& script, const SessionLimits& limits = brief)
{
    return runBounded("/bin/sh", { "sh", "-c", script }, limits, [] { return 0; });
}

// Whether the process is gone (or a zombie that nothing will run again).
bool ended(const std::string& pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text;
    std::getline(stat, text);
    return text.empty() || text.find(") Z ") != std::string::npos;
}

} // namespace

// How sessions end, each against a real child under real limits, and what the peer is told.
TEST(Session, EndsAndWhatThePeerIsTold)
{
    const struct
    {
        const char* script;
        SessionEnd end;
        const char* told;
        int length = 1;
    } table[] = {
        { "exit 0", { SessionEnd::Kind::Exited, 0 }, "" },
        { "exit 23", { SessionEnd::Kind::Exited, 23 }, "" },
        { "exit 22", { SessionEnd::Kind::Exited, 22 },
            "vesk-sshgate: ended by the memory limit: rsync needed more than 64 MiB" },
        { "exit 30", { SessionEnd::Kind::Exited, 30 },
            "vesk-sshgate: ended by the time limit: no data came for 7 seconds" },
        // The session's length is not reached first: a busy machine gives it half a processor.
        { "while :; do :; done", { SessionEnd::Kind::Signalled, SIGXCPU },
            "vesk-sshgate: ended by the CPU limit: rsync used 1 seconds of processor time", 30 },
        { "sleep 30", { SessionEnd::Kind::OverTime, 0 },
            "vesk-sshgate: ended by the time limit: the session lasted longer than 1 seconds" },
        // Deaf to SIGTERM, and so is what it runs: SIGKILL, to the whole group, after the grace.
        { "trap '' TERM; sleep 30; sleep 30", { SessionEnd::Kind::OverTime, 0 },
            "vesk-sshgate: ended by the time limit: the session lasted longer than 1 seconds" },
        { "kill -SEGV $$", { SessionEnd::Kind::Signalled, SIGSEGV },
            "vesk-sshgate: rsync ended by signal 11" },
    };
    for (const auto& row : table) {
        SessionLimits limits = brief;
        limits.length = seconds(row.length);
        const SessionEnd end = shell(row.script, limits);
        EXPECT_EQ(end, row.end) << row.script;
        EXPECT_EQ(limitReached(end, limits), row.told) << row.script;
        EXPECT_EQ(exitStatus(end), row.end.kind == SessionEnd::Kind::Exited ? row.end.value : 1);
    }
    // Neither a program that cannot be run nor a refusal of `prepare` runs anything.
    EXPECT_EQ(runBounded("/nonexistent", { "x" }, brief, [] { return 0; }),
        (SessionEnd { SessionEnd::Kind::Exited, 1 }));
    EXPECT_EQ(runBounded("/bin/true", { "true" }, brief, [] { return EACCES; }),
        (SessionEnd { SessionEnd::Kind::Exited, 1 }));
}

// The limits as the child has them, read back from the kernel; and what it left running ends
// with it.
TEST(Session, LimitsAndLeftovers)
{
    const fs::path out = fs::temp_directory_path() / ("session-" + std::to_string(::getpid()));
    const SessionLimits limits = rsyncLimits();
    ASSERT_EQ(shell("cat /proc/self/limits > '" + out.string() + "'", limits),
        (SessionEnd { SessionEnd::Kind::Exited, 0 }));
    std::ifstream file(out);
    std::stringstream text;
    text << file.rdbuf();
    for (const char* line :
        { "Max cpu time              3600                 3605                 seconds",
            "Max core file size        0                    0                    bytes",
            "Max open files            64                   64                   files",
            "Max address space         268435456            268435456            bytes" })
        EXPECT_NE(text.str().find(line), std::string::npos) << line << "\n" << text.str();

    ASSERT_EQ(shell("sleep 30 & echo $! > '" + out.string() + "'"),
        (SessionEnd { SessionEnd::Kind::Exited, 0 }));
    std::string pid;
    std::ifstream(out) >> pid;
    fs::remove(out);
    for (int tries = 0; tries < 200 && !ended(pid); ++tries)
        ::usleep(10000);
    EXPECT_TRUE(ended(pid)) << pid;
}
