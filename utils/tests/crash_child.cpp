// Child process of the crash test of save2file: it takes the place of the C library's renameat,
// so the process dies by SIGKILL after the temporary file was written and flushed and before it
// is renamed over the target.
//   vesk_utils_crash_child <path> <content> <octal mode>
#include <vesk/file/fileoperations.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

extern "C" int renameat(int, const char*, int, const char*)
{
    ::kill(::getpid(), SIGKILL);
    ::pause();
    return -1;
}

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    vesk::file::save2file(
        argv[1], QByteArray(argv[2]), unsigned(std::strtoul(argv[3], nullptr, 8)));
    // Reached only when the renameat above was not the one save2file called.
    return 3;
}
