#pragma once
// Internal header of vesk-sshgate, not API.

#include <vesk/file/descriptor.h>

namespace vesk::sshgate {

// The highest Landlock ABI the running kernel offers; 0 where it has none (not built in, or left
// off at boot).
int landlockAbi() noexcept;

// What rsync may open once it runs as the key's receiver, set by the kernel (Landlock) so that
// no rule rsync is sent, and no fault of rsync's, can widen it:
//   below the destination directory  read, list, write, create and remove files and directories,
//                                    rename within it (no links, devices, FIFOs or sockets)
//   /usr/lib, /lib, /lib64           read and execute (the loader and rsync's libraries)
//   /usr/bin/rsync                   read and execute
//   /etc/ld.so.cache, /etc/ld.so.preload, /usr/lib/ssl/openssl.cnf (where it leads), /dev/urandom
//                                    read
// and nothing else: not the home's keys, token, address, .ssh or work directories, not the rest
// of /etc. Where the kernel offers them, TCP (bind, connect), abstract unix sockets and signals
// to processes outside are taken away as well. Only rights the kernel knows are asked for, so one
// binary confines as far as each kernel can (Debian 12's offers ABI 2).
class Confinement
{
public:
    // The rules for writing below `destination`, an open directory (the descriptor is used, the
    // path never walked again). Where the kernel has no Landlock, the confinement is unavailable
    // and restrictSelf() only takes new privileges away. Throws std::system_error where the
    // kernel has Landlock and refuses the rules.
    explicit Confinement(int destination);

    bool available() const noexcept { return m_ruleset.isOpen(); }

    // Confines the calling process and all it runs from now on, for good: no new privileges,
    // then the rules. Made for a child between fork and execve: no allocation. Returns 0, or the
    // errno of the step that failed.
    int restrictSelf() const noexcept;

private:
    file::Descriptor m_ruleset;
};

} // namespace vesk::sshgate
