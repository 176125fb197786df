#pragma once
// Internal header of vesk-sshgate, not API.

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vesk::sshgate {

// What one rsync session of the paired key may take of the register. A peer chooses what rsync
// does (its filter rules, how fast and how much it sends); these bound what that can cost.
struct SessionLimits
{
    // Address space of each rsync process (the receiver runs two). 100 000 files in one list
    // take 24 MiB, zstd's highest compression level 144 MiB; a filter-rules file of 20 MB in
    // each of two directories would take 400 MiB. Beyond it rsync ends with status 22.
    std::uint64_t memoryBytes;
    // Descriptors of each rsync process; it uses about ten.
    rlim_t openFiles;
    // Processor seconds of each rsync process; SIGXCPU ends it there.
    rlim_t cpuSeconds;
    // rsync's own --timeout: the seconds it waits for data before it ends with status 30.
    unsigned ioTimeoutSeconds;
    // The whole session, however busy: then rsync gets SIGTERM, and `grace` later SIGKILL.
    std::chrono::seconds length;
    std::chrono::seconds grace;
};

// The limits of the gate's rsync. The two time bounds can be set at build time
// (VESK_SSHGATE_IO_TIMEOUT, VESK_SSHGATE_SESSION_SECONDS), for the test of a peer that stalls.
SessionLimits rsyncLimits();

struct SessionEnd
{
    enum class Kind {
        Exited, // `value`: the exit status
        Signalled, // `value`: the signal
        OverTime, // ended by the gate at the session's length; `value`: 0
    };
    Kind kind;
    int value;
    bool operator==(const SessionEnd&) const = default;
};

// Runs `program` with `arguments` (the first is its name) and nothing of the environment but
// PATH, in a process group of its own, and waits for it, at most `limits.length`: then the line
// of limitReached goes to standard error (before rsync can tell its client of the signal, which
// then closes the connection), and SIGTERM and SIGKILL go to the whole group. In the child, before
// execve: core dumps off, the address space, descriptor and processor limits set, then `prepare`
// (no allocation there); a non-zero errno from it ends the child with status 1 and a line on
// standard error. SIGTERM, SIGHUP and SIGINT that reach the caller meanwhile are passed on to the
// group. The caller must be single- threaded.
SessionEnd runBounded(const std::string& program, const std::vector<std::string>& arguments,
    const SessionLimits& limits, const std::function<int()>& prepare);

// The line that tells the peer which limit ended the session ("vesk-sshgate: ended by the ...
// limit: ..."), or another line for a signal; empty when rsync ended by itself. It reaches an
// rsync client where rsync could not speak (CPU, the session's length); where rsync ended
// itself, its client has its own message (status 22 "error allocating core memory buffers",
// status 30 "timeout in data send/receive") and may close before this line arrives.
//   Exited 22       -> memory    Exited 30   -> time (rsync's time-out)
//   Signalled XCPU  -> CPU       OverTime    -> time (the session's length)
//   Signalled other -> "vesk-sshgate: rsync ended by signal N"
//   Exited other    -> ""
// A descriptor limit is not told apart: rsync reports the failing open itself.
std::string limitReached(const SessionEnd& end, const SessionLimits& limits);

// The gate's exit status: rsync's own, or 1 when a signal or the gate ended it.
int exitStatus(const SessionEnd& end);

// Runs `program` in place of this process with nothing of the environment but PATH; returns only
// when that fails, with errno. No allocation beyond the argument array.
int replaceProcess(const std::string& program, const std::vector<std::string>& arguments);

} // namespace vesk::sshgate
