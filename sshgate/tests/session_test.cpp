#include "session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

using namespace vesk::sshgate;
using std::chrono::seconds;

namespace {

// Small enough to be reached by a test in a second or two.
const SessionLimits brief { 64ULL << 20, 16, 1, 7, seconds(1), seconds(1) };

SessionEnd shell(const std::string& script, const SessionLimits& limits = brief)
{
    return runBounded("/bin/sh", { "sh", "-c", script }, limits, [] { return 0; });
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
        // The limits as the child has them (its shell reads them back from the kernel).
        { "[ $(ulimit -v) = 65536 ] && [ $(ulimit -n) = 16 ] && [ $(ulimit -t) = 1 ] "
          "&& [ $(ulimit -c) = 0 ] && [ $(ulimit -H -t) = 2 ]",
            { SessionEnd::Kind::Exited, 0 }, "" },
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
