#include "pairingstore.h"

#include "homedirectory.h"

#include <vesk/core.h>
#include <vesk/file/fileoperations.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vesk::detail {

namespace {

namespace fs = std::filesystem;

constexpr const char* writing = ".pairing.new";
constexpr const char* committed = ".pairing.ready";

struct PairingFile
{
    const char* name;
    QString (Core::*path)() const;
    QByteArray PairingFiles::*bytes;
    unsigned int mode;
};

// The SSH key's file and the key of every heartbeat are the service's alone.
constexpr PairingFile pairingFiles[] = {
    { "authorized_keys", &Core::authorizedKeysPath, &PairingFiles::authorizedKeys, 0600 },
    { "token", &Core::accessTokenPath, &PairingFiles::token, 0644 },
    { "address", &Core::serverAddressPath, &PairingFiles::address, 0644 },
    { "shared.key", &Core::sharedKeyPath, &PairingFiles::sharedKey, 0600 },
};

[[noreturn]] void fail(const char* what, const std::string& name, int error = errno)
{
    throw fs::filesystem_error(
        what, fs::path(name), std::error_code(error, std::generic_category()));
}

void flush(int directory, const std::string& name)
{
    if (::fsync(directory) != 0)
        fail("cannot flush", name);
}

// The staging directory `name` of the home, never through a link; closed when there is none.
file::Descriptor openStaging(const HomeDirectory& home, const char* name)
{
    std::error_code error;
    file::Descriptor directory
        = file::openInside(home.get(), name, file::EntryType::Directory, error);
    if (!directory.isOpen() && error != std::errc::no_such_file_or_directory)
        throw fs::filesystem_error("cannot open", fs::path(name), error);
    return directory;
}

// Removes the staging directory with whatever a write left in it (a temporary file of an
// interrupted write among them).
void removeStaging(const HomeDirectory& home, const char* name)
{
    file::Descriptor directory = openStaging(home, name);
    if (!directory.isOpen())
        return;
    DIR* stream = ::fdopendir(directory.get());
    if (stream == nullptr)
        fail("cannot read", name);
    directory.release();
    int error = 0;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0
            && ::unlinkat(::dirfd(stream), entry->d_name, 0) != 0)
            error = errno;
    }
    ::closedir(stream);
    if (error != 0)
        fail("cannot empty", name, error);
    if (::unlinkat(home.get(), name, AT_REMOVEDIR) != 0)
        fail("cannot remove", name);
    flush(home.get(), ".");
}

// Steps 3 and 4. A file no longer in the staging directory was moved before a crash.
void moveIntoPlace(const Core& core, const HomeDirectory& home, int staging)
{
    for (const PairingFile& file : pairingFiles) {
        const auto [parent, name] = home.parentOf((core.*file.path)());
        if (::renameat(staging, file.name, parent.get(), name.c_str()) != 0) {
            if (errno == ENOENT)
                continue;
            fail("cannot move into place", name);
        }
        flush(parent.get(), name);
    }
    removeStaging(home, committed);
}

} // namespace

void storePairing(const Core& core, const HomeDirectory& home, const PairingFiles& files)
{
    // A pairing that the disk refused part-way left its staging directory behind.
    recoverPairing(core, home);
    if (::mkdirat(home.get(), writing, 0700) != 0)
        fail("cannot create", writing);
    const file::Descriptor staging = openStaging(home, writing);
    if (!staging.isOpen())
        fail("cannot open", writing, ENOENT);
    for (const PairingFile& file : pairingFiles)
        file::save2file(staging.get(), file.name, files.*file.bytes, file.mode);
    if (::renameat(home.get(), writing, home.get(), committed) != 0)
        fail("cannot commit", committed);
    flush(home.get(), ".");
    // The descriptor follows the directory to its new name.
    moveIntoPlace(core, home, staging.get());
}

PairingRecovery recoverPairing(const Core& core, const HomeDirectory& home)
{
    PairingRecovery recovery = PairingRecovery::none;
    if (const file::Descriptor ready = openStaging(home, committed); ready.isOpen()) {
        moveIntoPlace(core, home, ready.get());
        recovery = PairingRecovery::finished;
    }
    if (openStaging(home, writing).isOpen()) {
        removeStaging(home, writing);
        if (recovery == PairingRecovery::none)
            recovery = PairingRecovery::undone;
    }
    return recovery;
}

} // namespace vesk::detail
