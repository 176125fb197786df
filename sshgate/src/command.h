#pragma once
// Internal header of vesk-sshgate, not API.

#include <vesk/protocol/homelayout.h>

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vesk::sshgate {

// The register's home, fixed as the service's.
using protocol::home::homePath;

// The played TF, for a management server that wants to know what plays.
struct ReadPlayedTransactionFile
{
    bool operator==(const ReadPlayedTransactionFile&) const = default;
};

// The status file, as vesk-status --json prints it.
struct ReadStatus
{
    bool operator==(const ReadStatus&) const = default;
};

// vesk-plays reading out the ledger of plays or taking an acknowledgement: its arguments as
// vetted, without the program's name.
struct ReadPlays
{
    std::vector<std::string> arguments;
    bool operator==(const ReadPlays&) const = default;
};

// rsync receiving: the vetted options ("--server" first), then the destination as sent.
struct RsyncReceive
{
    std::vector<std::string> options;
    std::string destination;
    bool operator==(const RsyncReceive&) const = default;
};

struct Refusal
{
    std::string reason;
    bool operator==(const Refusal&) const = default;
};

using Command
    = std::variant<ReadPlayedTransactionFile, ReadStatus, ReadPlays, RsyncReceive, Refusal>;

// What the command line that ssh sent (SSH_ORIGINAL_COMMAND) may run. Words are split at single
// blanks and may hold only letters, digits and / . _ , : = @ % + - (no quoting, no escapes, no
// expansion: nothing a shell would read differently). Exactly these pass:
//   "cat /var/lib/morlen-vesk/work_dir/TF"       -> ReadPlayedTransactionFile
//   "vesk-status --json"                         -> ReadStatus
//   "cat /var/lib/morlen-vesk/status.json"       -> ReadStatus (for servers of earlier versions)
//   "vesk-plays --after 41"                      -> ReadPlays { --after, 41 }
//   "vesk-plays --after 41 --limit 500"          -> ReadPlays { --after, 41, --limit, 500 }
//   "vesk-plays --ack 0b6e...-...c3 41"          -> ReadPlays { --ack, <uuid>, 41 } (a UUID text
//                                                   in lower case, seqs 1 to 19 decimal digits)
//   "rsync --server -tre.iLsfxCIvu --delete . /var/lib/morlen-vesk/sync_dir/"
//                                                -> RsyncReceive { rsync, --server, -tre..,
//                                                   --delete }, "/var/lib/morlen-vesk/sync_dir/"
//   "rsync --server -tce.LsfxCIvu . sync_dir/TF" -> RsyncReceive, "sync_dir/TF"
// and everything else is refused, for example:
//   ""  (a login shell, a pty)                   -> "no command: this key only delivers ..."
//   "cat /var/lib/morlen-vesk/shared.key"        -> "not a command this key may run"
//   "rsync --server --sender -tre.iLsfxCIvu . x" -> "the option --sender is not allowed"
//   "rsync --server -tre.iLsfxCIvu --temp-dir /tmp . sync_dir/"
//                                                -> "the option --temp-dir is not allowed"
//   "rsync --server -tre.iLsfxCIvu . a b"        -> "rsync must end in . and one destination"
//   "rsync --server -tre.iLsfxCIvu . sync\ dir/" -> "the command holds '\\'"
//   "vesk-status --json; id"                     -> "the command holds ';'"
//   "vesk-plays", "vesk-plays --after -1", "vesk-plays --after 1 --dir /tmp",
//   "vesk-plays --ack LEDGER 1" (not a UUID)     -> "not a command this key may run"
Command parseCommand(std::string_view original);

} // namespace vesk::sshgate
