#include "session.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>

#ifndef VESK_SSHGATE_IO_TIMEOUT
#define VESK_SSHGATE_IO_TIMEOUT 600
#endif
#ifndef VESK_SSHGATE_SESSION_SECONDS
#define VESK_SSHGATE_SESSION_SECONDS 21600
#endif

namespace vesk::sshgate {

namespace {

// rsync's exit statuses for memory it could not get and for its I/O time-out.
constexpr int rsyncOutOfMemory = 22;
constexpr int rsyncTimedOut = 30;

constexpr int startFailed = 1;

std::vector<char*> argumentArray(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int execPlain(const char* program, char* const* argv)
{
    // The login's PATH is not ours to trust, nor anything else of its environment.
    static char path[] = "PATH=/usr/bin:/bin";
    static char* const environment[] = { path, nullptr };
    ::execve(program, argv, environment);
    return errno;
}

// Lowers a limit of this process; a hard limit the register already set lower stays.
void lower(int resource, rlim_t soft, rlim_t hard)
{
    rlimit now {};
    if (::getrlimit(resource, &now) != 0)
        return;
    now.rlim_max = std::min(now.rlim_max, hard);
    now.rlim_cur = std::min(soft, now.rlim_max);
    ::setrlimit(resource, &now);
}

// The refusal line for a program that cannot be started; written without allocation.
void say(const char* program, int error)
{
    const char* parts[]
        = { "vesk-sshgate: refused: cannot run ", program, ": ", std::strerror(error), "\n" };
    for (const char* part : parts) {
        if (::write(STDERR_FILENO, part, std::strlen(part)) < 0)
            break;
    }
}

[[noreturn]] void runChild(const char* program, char* const* argv, const SessionLimits& limits,
    const std::function<int()>& prepare, const sigset_t& mask, pid_t gate)
{
    // Gone with the gate, whatever ends it: never a session beyond its bound.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != gate)
        ::_exit(startFailed);
    ::setpgid(0, 0);
    for (const int signal : { SIGTERM, SIGHUP, SIGINT, SIGCHLD })
        std::signal(signal, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    lower(RLIMIT_CORE, 0, 0);
    lower(RLIMIT_NOFILE, limits.openFiles, limits.openFiles);
    lower(RLIMIT_CPU, limits.cpuSeconds, limits.cpuSeconds + rlim_t(limits.grace.count()));
    lower(RLIMIT_AS, limits.memoryBytes, limits.memoryBytes);
    int error = prepare();
    if (error == 0)
        error = execPlain(program, argv);
    say(program, error);
    ::_exit(startFailed);
}

timespec until(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::max(
        deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    return { static_cast<time_t>(seconds.count()),
        static_cast<long>(std::chrono::nanoseconds(left - seconds).count()) };
}

// Waits for `child` to end without reaping it, so that its process group cannot be reused before
// the sweep below; signals of `waited` meanwhile are passed on to the group.
SessionEnd await(pid_t child, const SessionLimits& limits, const sigset_t& waited)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + limits.length;
    int stage = 0; // 0: running, 1: SIGTERM sent, 2: SIGKILL sent
    siginfo_t info {};
    for (;;) {
        info.si_pid = 0;
        if (::waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR)
                continue;
            // Not ours to wait for any more: nothing else reaps it, so this does not happen.
            return { SessionEnd::Kind::Exited, startFailed };
        }
        if (info.si_pid == child)
            break;
        if (stage < 2 && Clock::now() >= deadline) {
            // Told first: rsync's client ends the connection once rsync tells it of the signal.
            if (stage == 0)
                std::cerr << limitReached({ SessionEnd::Kind::OverTime, 0 }, limits) << std::endl;
            ::kill(-child, stage == 0 ? SIGTERM : SIGKILL);
            deadline = Clock::now() + limits.grace;
            ++stage;
        }
        const timespec wait = stage < 2 ? until(deadline) : timespec { 1, 0 };
        siginfo_t caught {};
        const int signal = ::sigtimedwait(&waited, &caught, &wait);
        if (signal == SIGTERM || signal == SIGHUP || signal == SIGINT)
            ::kill(-child, signal);
    }
    // What rsync left running of its own (its second process) ends with it.
    ::kill(-child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    if (stage > 0)
        return { SessionEnd::Kind::OverTime, 0 };
    if (info.si_code == CLD_EXITED)
        return { SessionEnd::Kind::Exited, info.si_status };
    return { SessionEnd::Kind::Signalled, info.si_status };
}

} // namespace

SessionLimits rsyncLimits()
{
    using std::chrono::seconds;
    return { 256ULL << 20, 64, 3600, VESK_SSHGATE_IO_TIMEOUT, seconds(VESK_SSHGATE_SESSION_SECONDS),
        seconds(5) };
}

SessionEnd runBounded(const std::string& program, const std::vector<std::string>& arguments,
    const SessionLimits& limits, const std::function<int()>& prepare)
{
    std::vector<char*> argv = argumentArray(arguments);
    // A SIGCHLD or a stop signal that arrives before the wait begins waits for it.
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t waited, before;
    sigemptyset(&waited);
    for (const int signal : { SIGCHLD, SIGTERM, SIGHUP, SIGINT })
        sigaddset(&waited, signal);
    ::sigprocmask(SIG_BLOCK, &waited, &before);
    const pid_t gate = ::getpid();
    const pid_t child = ::fork();
    if (child == 0)
        runChild(program.c_str(), argv.data(), limits, prepare, before, gate);
    SessionEnd end { SessionEnd::Kind::Exited, startFailed };
    if (child > 0) {
        // Here too, so that the group exists for a signal whoever of the two runs first.
        ::setpgid(child, child);
        end = await(child, limits, waited);
    } else
        say(program.c_str(), errno);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    return end;
}

std::string limitReached(const SessionEnd& end, const SessionLimits& limits)
{
    const std::string prefix = "vesk-sshgate: ended by the ";
    switch (end.kind) {
    case SessionEnd::Kind::OverTime:
        return prefix + "time limit: the session lasted longer than "
            + std::to_string(limits.length.count()) + " seconds";
    case SessionEnd::Kind::Signalled:
        if (end.value == SIGXCPU)
            return prefix + "CPU limit: rsync used " + std::to_string(limits.cpuSeconds)
                + " seconds of processor time";
        return "vesk-sshgate: rsync ended by signal " + std::to_string(end.value);
    case SessionEnd::Kind::Exited:
        if (end.value == rsyncOutOfMemory)
            return prefix + "memory limit: rsync needed more than "
                + std::to_string(limits.memoryBytes >> 20) + " MiB";
        if (end.value == rsyncTimedOut)
            return prefix + "time limit: no data came for "
                + std::to_string(limits.ioTimeoutSeconds) + " seconds";
        return {};
    }
    return {};
}

int exitStatus(const SessionEnd& end)
{
    return end.kind == SessionEnd::Kind::Exited ? end.value : 1;
}

int replaceProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    const std::vector<char*> argv = argumentArray(arguments);
    return execPlain(program.c_str(), argv.data());
}

} // namespace vesk::sshgate
