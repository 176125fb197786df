#pragma once
// Internal header of vesk-sshgate, not API.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::sshgate {

// Whether one option word that a receiving rsync client sends to its server may pass, and if not,
// why. Only what the documented deliveries send passes: nothing that names a path, reads, or
// widens what is written or how. A passing word is handed to rsync exactly as it came.
//
//   "-tre.iLsfxCIvu"       -> passes (flags r t v c z n W I u, then "e." and the capabilities)
//   "-vvtrze.iLsfxCIvu"    -> passes
//   "-tce.LsfxCIvu"        -> passes (a single file: no r)
//   "-e.iLsfxCIvu"         -> passes (no flag at all)
//   "-logDtpre.iLsfxCIvu"  -> "the flag 'l' is not allowed" (links, owners, devices, modes)
//   "-Ktre.iLsfxCIvu"      -> "the flag 'K' is not allowed" (follows links on our side)
//   "-stre.iLsfxCIvu"      -> "the flag 's' is not allowed" (paths over the protocol, unseen)
//   "-trRe.iLsfxCIvu"      -> "the flag 'R' is not allowed"
//   "-tr"                  -> "the flags lack rsync's capability string"
//   "-tre.iLsfxCIvuQ"      -> "the capability 'Q' is not known"
//   "--delete" "--delete-before" "--delete-during" "--delete-delay" "--delete-after"
//                          -> passes
//   "--log-format=%i"      -> passes (what -i sends)
//   "--compress-level=9"   -> passes (0 to 22)
//   "--compress-choice=zstd" -> passes (zlib, zlibx, zstd, lz4, none)
//   "--new-compress" "--old-compress" -> passes
//   "--timeout=30"         -> passes (a whole number of seconds)
//   "--bwlimit=512"        -> passes (a whole number of KiB per second); "--bwlimit=1m" does not
//   "--sender"             -> "the option --sender is not allowed" (this key never reads)
//   "--temp-dir" "--partial-dir" "--backup-dir" "--log-file=x" "--files-from=x" "--read-batch=x"
//   "--write-batch=x" "--link-dest" "--copy-dest" "--compare-dest" "--remove-source-files"
//   "--inplace" "--append" "--partial" "--delay-updates" "--delete-excluded" "--mkpath" ...
//                          -> "the option --temp-dir is not allowed" (named up to '=', at most
//                             64 characters)
//   "--compress-level=99"  -> "the value of --compress-level is not allowed"
//   "--timeout"            -> "the option --timeout is not allowed" (its value is in the word)
std::optional<std::string> refuseRsyncOption(std::string_view word);

// Leaves one --timeout in vetted `options`, at their end: the peer's when it is shorter than
// `most` seconds and not 0 (which means none), otherwise `most`. Returns the seconds it names.
//   { "-tre.iLsfxCIvu" }, 600                    -> { "-tre.iLsfxCIvu", "--timeout=600" }, 600
//   { "--timeout=30", "-tre.iLsfxCIvu" }, 600    -> { "-tre.iLsfxCIvu", "--timeout=30" }, 30
//   { "--timeout=0" }, 600                       -> { "--timeout=600" }, 600
//   { "--timeout=5", "--timeout=9000" }, 600     -> { "--timeout=600" }, 600 (the last counts,
//                                                   as it does for rsync)
unsigned boundTimeout(std::vector<std::string>& options, unsigned most);

} // namespace vesk::sshgate
