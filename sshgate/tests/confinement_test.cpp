#include "confinement.h"

#include <vesk/file/inside.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

using namespace vesk::sshgate;

// A kernel without Landlock (absent: ENOSYS; left off at boot: EOPNOTSUPP), made by a seccomp
// filter the child cannot lift: the confinement is unavailable, restrictSelf still takes new
// privileges away, and what the account may read stays readable. (Where the kernel has Landlock,
// the end-to-end test shows rsync confined.)
TEST(Confinement, WithoutLandlock)
{
    for (const int missing : { ENOSYS, EOPNOTSUPP }) {
        const pid_t child = ::fork();
        if (child == 0) {
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_landlock_create_ruleset, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | unsigned(missing)),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            const sock_fprog program { 4, filter };
            // New privileges kept where we may (as root), so that restrictSelf is seen taking them.
            if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0
                && (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
                    || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0))
                ::_exit(1);
            const Confinement confinement(vesk::file::openDirectory("/tmp").get());
            const bool state = landlockAbi() == 0 && !confinement.available()
                && confinement.restrictSelf() == 0 && ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1
                && ::open("/etc/passwd", O_RDONLY | O_CLOEXEC) >= 0;
            ::_exit(state ? 0 : 2);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << missing << " " << status;
    }
}
