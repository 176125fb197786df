#pragma once

// The command lines that the management server's SSH key may send to the register, word by word:
// the gate (vesk-sshgate) runs exactly these, the management server (vesk-manage) sends them.
// Header-only and without Qt, so that the gate links nothing for it. The rsync receiving into
// the sync directory is vetted option by option by the gate and is not spelled here.

#include <vesk/protocol/homelayout.h>

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vesk::protocol::gate {

// The played TF, for a management server that wants to know what plays.
inline constexpr std::array<std::string_view, 2> readPlayedTransactionFile
    = { "cat", "/var/lib/morlen-vesk/work_dir/TF" };

// The status file, as vesk-status --json prints it (the exit statuses in <vesk/protocol/status.h>).
inline constexpr std::array<std::string_view, 2> readStatus = { "vesk-status", "--json" };
// The same, as servers of earlier versions ask for it.
inline constexpr std::array<std::string_view, 2> readStatusFile
    = { "cat", "/var/lib/morlen-vesk/status.json" };

// The program that receives a delivery, and the option that must follow it.
inline constexpr std::string_view rsync = "rsync";
inline constexpr std::string_view rsyncServer = "--server";

// Whether `path` is the home's `parts` joined with '/': the paths above are spelled out, since
// the gate compares whole words, and checked against the home's layout here.
constexpr bool isHomePath(std::string_view path, std::initializer_list<std::string_view> parts)
{
    if (!path.starts_with(home::homePath))
        return false;
    path.remove_prefix(home::homePath.size());
    for (const std::string_view part : parts) {
        if (!path.starts_with('/') || !path.substr(1).starts_with(part))
            return false;
        path.remove_prefix(part.size() + 1);
    }
    return path.empty();
}
static_assert(isHomePath(readPlayedTransactionFile[1], { home::workDirLink, home::transactionFile }));
static_assert(isHomePath(readStatusFile[1], { home::statusFile }));

// The words joined by one blank, as ssh sends them.
template <std::size_t N> std::string joined(const std::array<std::string_view, N>& words)
{
    std::string line;
    for (const std::string_view word : words) {
        if (!line.empty())
            line += ' ';
        line += word;
    }
    return line;
}

} // namespace vesk::protocol::gate
