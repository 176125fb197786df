// vesk-sshgate: all that the management server's SSH key may run on the register. The service
// writes it into .ssh/authorized_keys as that key's forced command, beside the restrictions that
// take away every pty and forwarding:
//
//   restrict,command="/usr/lib/vesk/vesk-sshgate" ssh-ed25519 AAAA... comment
//
// sshd runs it (through the account's shell) with the command the client asked for in
// SSH_ORIGINAL_COMMAND, and it runs that only when it is rsync receiving into the sync
// directory, the read of the played TF, the read of the status or the ledger of plays' read-out
// and acknowledgement (see command.h); anything else
// is refused with one line on standard error and nothing run. rsync runs as the gate's child,
// confined to the destination by the kernel (confinement.h) and bounded in memory, descriptors,
// processor time and length (session.h); a limit that ends it is told in one line.
//
//   vesk-sshgate             from sshd: vet SSH_ORIGINAL_COMMAND and run it
//   vesk-sshgate --version   the version
//   vesk-sshgate --help      this usage
//
// Exit status: 1 for a refused command or a session a signal or the session's length ended, 2 for
// a wrong option; otherwise rsync's, vesk-status's or vesk-plays', or 0 when the played TF was
// written out.

#include "command.h"
#include "confinement.h"
#include "homeentries.h"
#include "rsyncoptions.h"
#include "session.h"

#include <vesk/file/inside.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace {

using namespace vesk::sshgate;

constexpr int refusedStatus = 1;
constexpr int usageError = 2;

// rsync by its absolute path: the login's PATH is not ours to trust.
constexpr const char* rsyncProgram = "/usr/bin/rsync";

const char* const usage
    = "usage: vesk-sshgate | --version | --help\n"
      "\n"
      "The forced command of the management server's SSH key, run by sshd. It runs the\n"
      "command in SSH_ORIGINAL_COMMAND only when it is one of:\n"
      "  rsync receiving into /var/lib/morlen-vesk/sync_dir\n"
      "  cat /var/lib/morlen-vesk/work_dir/TF\n"
      "  vesk-status --json   (or cat /var/lib/morlen-vesk/status.json)\n"
      "  vesk-plays --after N [--limit M], vesk-plays --ack LEDGER N\n"
      "and refuses everything else.\n"
      "\n"
      "  --version  print the version\n"
      "  --help     print this help\n";

int refuse(const std::string& reason)
{
    std::cerr << "vesk-sshgate: refused: " << reason << std::endl;
    return refusedStatus;
}

// Runs `program` in place of the gate, with nothing of the login's environment but a PATH.
int execute(const std::string& program, const std::vector<std::string>& arguments)
{
    return refuse(
        "cannot run " + program + ": " + std::strerror(replaceProcess(program, arguments)));
}

std::string ownDirectory()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
}

int writePlayedTransactionFile(int home)
{
    std::error_code error;
    const vesk::file::Descriptor tf = openPlayedTransactionFile(home, error);
    if (!tf.isOpen())
        return refuse("the played TF cannot be read: " + error.message());
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(tf.get(), buffer, sizeof buffer);
        if (got == 0)
            return 0;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return refuse(std::string("the played TF cannot be read: ") + std::strerror(errno));
        for (ssize_t written = 0; written < got;) {
            const ssize_t now
                = ::write(STDOUT_FILENO, buffer + written, std::size_t(got - written));
            if (now < 0 && errno == EINTR)
                continue;
            if (now < 0)
                return refusedStatus;
            written += now;
        }
    }
}

int receive(int home, const RsyncReceive& rsync)
{
    const Destination destination = resolveDestination(home, homePath, rsync.destination);
    if (!destination.refusal.empty())
        return refuse(destination.refusal);
    std::optional<Confinement> confinement;
    try {
        confinement.emplace(destination.directory.get());
    } catch (const std::system_error& e) {
        return refuse(std::string("rsync cannot be confined: ") + e.what());
    }
    if (!confinement->available())
        std::cerr << "vesk-sshgate: warning: this kernel has no Landlock: rsync runs with its "
                     "limits but may read what the account may"
                  << std::endl;
    SessionLimits limits = rsyncLimits();
    std::vector<std::string> arguments = rsync.options;
    limits.ioTimeoutSeconds = boundTimeout(arguments, limits.ioTimeoutSeconds);
    arguments.push_back(".");
    arguments.push_back(destination.name);
    // rsync is handed the directory we opened, not the path: nothing can be swapped in between.
    const int directory = destination.directory.get();
    const SessionEnd end = runBounded(rsyncProgram, arguments, limits,
        [&] { return ::fchdir(directory) == 0 ? confinement->restrictSelf() : errno; });
    const std::string told = limitReached(end, limits);
    if (!told.empty() && end.kind != SessionEnd::Kind::OverTime)
        std::cerr << told << std::endl;
    return exitStatus(end);
}

int run(const Command& command)
{
    if (const auto* refusal = std::get_if<Refusal>(&command))
        return refuse(refusal->reason);
    if (std::holds_alternative<ReadStatus>(command))
        return execute(ownDirectory() + "/vesk-status", { "vesk-status", "--json" });
    if (const auto* plays = std::get_if<ReadPlays>(&command)) {
        std::vector<std::string> arguments { "vesk-plays" };
        arguments.insert(arguments.end(), plays->arguments.begin(), plays->arguments.end());
        return execute(ownDirectory() + "/vesk-plays", arguments);
    }
    vesk::file::Descriptor home;
    try {
        home = vesk::file::openDirectory(std::string(homePath));
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
    if (std::holds_alternative<ReadPlayedTransactionFile>(command))
        return writePlayedTransactionFile(home.get());
    return receive(home.get(), std::get<RsyncReceive>(command));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        const std::string option = argv[1];
        if (option == "--help" && argc == 2) {
            std::cout << usage;
            return 0;
        }
        if (option == "--version" && argc == 2) {
            std::cout << "vesk-sshgate " VESK_VERSION << std::endl;
            return 0;
        }
        const bool known = option == "--help" || option == "--version";
        std::cerr << "vesk-sshgate: unexpected argument '" << (known ? argv[2] : argv[1])
                  << "'; see vesk-sshgate --help" << std::endl;
        return usageError;
    }
    const char* original = std::getenv("SSH_ORIGINAL_COMMAND");
    return run(parseCommand(original ? original : ""));
}
