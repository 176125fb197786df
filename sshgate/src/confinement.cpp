#include "confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vesk::sshgate {

namespace {

// Rights of ABI 1 and 2 come from the system's header; the later ones are spelled here, since
// the oldest system built on (Debian 12) has headers of ABI 2. Their values are the kernel's ABI.
constexpr std::uint64_t accessFsTruncate = 1ULL << 14; // ABI 3
constexpr std::uint64_t accessFsIoctlDev = 1ULL << 15; // ABI 5
constexpr std::uint64_t accessNetBindTcp = 1ULL << 0; // ABI 4
constexpr std::uint64_t accessNetConnectTcp = 1ULL << 1; // ABI 4
constexpr std::uint64_t scopeAbstractUnixSocket = 1ULL << 0; // ABI 6
constexpr std::uint64_t scopeSignal = 1ULL << 1; // ABI 6

// struct landlock_ruleset_attr as ABI 6 has it; a kernel is handed the part its ABI knows.
struct RulesetAttributes
{
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};

constexpr std::uint64_t readFile = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr std::uint64_t execute = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE;
constexpr std::uint64_t writeTree = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR
    | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_DIR
    | LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REFER
    | accessFsTruncate;

struct Grant
{
    const char* path;
    std::uint64_t access;
};

// What rsync opens to run (strace -f -e trace=%file of the documented deliveries), by path; an
// entry missing on this system is left out. /lib and /lib64 are links into /usr where /usr is
// merged and the libraries themselves where it is not.
constexpr std::array<Grant, 8> programGrants { {
    { "/usr/lib", execute },
    { "/lib", execute },
    { "/lib64", execute },
    { "/usr/bin/rsync", execute },
    { "/etc/ld.so.cache", readFile },
    { "/etc/ld.so.preload", readFile },
    { "/usr/lib/ssl/openssl.cnf", readFile },
    { "/dev/urandom", readFile },
} };

long createRuleset(const RulesetAttributes* attributes, std::size_t size, std::uint32_t flags)
{
    return ::syscall(SYS_landlock_create_ruleset, attributes, size, flags);
}

std::uint64_t handledFs(int abi)
{
    // ABI 1: everything up to making symbolic links; REFER from 2, TRUNCATE from 3, IOCTL_DEV
    // from 5.
    std::uint64_t handled = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
    if (abi >= 2)
        handled |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        handled |= accessFsTruncate;
    if (abi >= 5)
        handled |= accessFsIoctlDev;
    return handled;
}

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void grant(int ruleset, int directory, std::uint64_t access, std::uint64_t handled)
{
    landlock_path_beneath_attr rule {};
    rule.allowed_access = access & handled;
    rule.parent_fd = directory;
    if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
        fail("landlock_add_rule");
}

} // namespace

int landlockAbi() noexcept
{
    const long abi = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

Confinement::Confinement(int destination)
{
    const int abi = landlockAbi();
    if (abi == 0)
        return;
    RulesetAttributes attributes;
    attributes.handledAccessFs = handledFs(abi);
    std::size_t size = sizeof attributes.handledAccessFs;
    if (abi >= 4) {
        attributes.handledAccessNet = accessNetBindTcp | accessNetConnectTcp;
        size += sizeof attributes.handledAccessNet;
    }
    if (abi >= 6) {
        attributes.scoped = scopeAbstractUnixSocket | scopeSignal;
        size += sizeof attributes.scoped;
    }
    const long ruleset = createRuleset(&attributes, size, 0);
    if (ruleset < 0)
        fail("landlock_create_ruleset");
    m_ruleset.reset(static_cast<int>(ruleset));

    grant(m_ruleset.get(), destination, writeTree, attributes.handledAccessFs);
    for (const Grant& entry : programGrants) {
        const file::Descriptor path(::open(entry.path, O_PATH | O_CLOEXEC));
        if (!path.isOpen() && errno == ENOENT)
            continue;
        if (!path.isOpen())
            fail(entry.path);
        grant(m_ruleset.get(), path.get(), entry.access, attributes.handledAccessFs);
    }
}

int Confinement::restrictSelf() const noexcept
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return errno;
    if (available() && ::syscall(SYS_landlock_restrict_self, m_ruleset.get(), 0) != 0)
        return errno;
    return 0;
}

} // namespace vesk::sshgate
