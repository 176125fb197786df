#pragma once
// Internal header of vesk-sshgate, not API.

#include <vesk/file/descriptor.h>

#include <string>
#include <string_view>
#include <system_error>

namespace vesk::sshgate {

// Where rsync is to write: an open directory inside the sync directory, and the name rsync is
// given in it ("." for the directory itself). A name always starts with "./": rsync reads options
// after its other arguments too, so a last component such as "--daemon" must never stand alone.
struct Destination
{
    file::Descriptor directory;
    std::string name;
    // Why there is none; empty when there is.
    std::string refusal;
};

// The destination that rsync was given, absolute or relative to the home `home` (whose path is
// `homePath`), resolved without following any link. `..` and `.` are taken lexically first; what
// is left must be the sync directory or lie below it. The last component may be new or a regular
// file (rsync writes it by name); every other component must be a directory. With the home at
// /var/lib/morlen-vesk:
//   "/var/lib/morlen-vesk/sync_dir/"            -> sync_dir, "."
//   "sync_dir" "sync_dir/." "./sync_dir/"       -> sync_dir, "."
//   "/var/lib/morlen-vesk/sync_dir/TF"          -> sync_dir, "./TF"
//   "sync_dir/video/" (video a directory)       -> sync_dir/video, "."
//   "sync_dir/new/" (nothing there)             -> sync_dir, "./new/"
//   "sync_dir/../sync_dir/a"                    -> sync_dir, "./a"
//   "sync_dir/--daemon"                         -> sync_dir, "./--daemon"
//   "/var/lib/morlen-vesk/.ssh/" "work_dir_a/" "." "/tmp/x" "sync_dir/../.ssh"
//                                               -> refused: outside the sync directory
//   "sync_dir/link/" (link, wherever it points) -> refused: a link
//   "sync_dir/TF/x" (TF a file)                 -> refused: not a directory
// Also refused when the sync directory itself is a link or missing.
Destination resolveDestination(int home, std::string_view homePath, std::string_view destination);

// The TF of the played work directory: the link `work_dir` in `home` must name "work_dir_a" or
// "work_dir_b" exactly, and neither that directory nor TF may be a link. On failure a closed
// descriptor and `error`.
file::Descriptor openPlayedTransactionFile(int home, std::error_code& error);

} // namespace vesk::sshgate
