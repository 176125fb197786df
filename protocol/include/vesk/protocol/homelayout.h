#pragma once

// The names of the entries of the service's home, as the service lays them out and the SSH gate
// and the management server reach them. Header-only and without Qt, so that the gate links
// nothing for it. Paths are these names joined with '/' below homePath.

#include <string_view>

namespace vesk::protocol::home {

// The home itself, fixed for the service.
inline constexpr std::string_view homePath = "/var/lib/morlen-vesk";

// Deliveries arrive here; the service verifies them and copies them into a work directory.
inline constexpr std::string_view syncDir = "sync_dir";
// The link that names the played work directory, and the two it may name.
inline constexpr std::string_view workDirLink = "work_dir";
inline constexpr std::string_view workDirA = "work_dir_a";
inline constexpr std::string_view workDirB = "work_dir_b";
// In the sync directory and in each work directory.
inline constexpr std::string_view transactionFile = "TF";
inline constexpr std::string_view playlistFile = "playlist.ini";

// The pairing: the server's SSH key, its heartbeat address, the access token and the agreed key.
inline constexpr std::string_view sshDir = ".ssh";
inline constexpr std::string_view authorizedKeys = "authorized_keys";
inline constexpr std::string_view serverAddress = "address";
inline constexpr std::string_view accessToken = "token";
inline constexpr std::string_view sharedKey = "shared.key";

// What the service is doing; written here when it does not run under systemd.
inline constexpr std::string_view statusFile = "status.json";
// Where a service started by systemd writes it instead.
inline constexpr std::string_view runtimeStatusPath = "/run/vesk/status.json";

} // namespace vesk::protocol::home
