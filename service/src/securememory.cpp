// libavformat, which the stream engine demuxes with, needs libssh, and libssh sets up libgcrypt's
// secure memory as it is loaded, before main. Where mlock is refused (the systemd unit's
// system-call filter takes it away with @privileged) libgcrypt then writes "Warning: using
// insecure memory!" on standard error, into the journal at every start. This program never uses
// that memory: libgcrypt is told not to lock it, before any library's constructor runs. Only the
// program's own pre-initialisers run that early; libgcrypt is loaded and relocated by then, and
// its flag for this is plain data that needs no initialisation.
//
// No header and no link: the symbol is weak, so a libavformat without libssh leaves it null, and
// nothing happens.

extern "C" unsigned int gcry_control(int command, ...) __attribute__((weak));

namespace {

// GCRYCTL_DISABLE_LOCKED_SECMEM of gcrypt.h, a number of libgcrypt's ABI; a libgcrypt that does
// not know it answers with an error and changes nothing.
constexpr int disableLockedSecureMemory = 67;

void keepSecureMemoryUnlocked(int, char**, char**)
{
    if (gcry_control != nullptr)
        gcry_control(disableLockedSecureMemory, 0);
}

} // namespace

__attribute__((section(".preinit_array"), used)) static void (*const preinitSecureMemory)(
    int, char**, char**)
    = keepSecureMemoryUnlocked;
