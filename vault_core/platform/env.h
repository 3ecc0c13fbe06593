// Process environment, identity and configuration root: the environment
// snapshot taken at start, live lookups, the process id and the per-user
// configuration folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The environment as (name, value) pairs in the order the platform reports
// them. Entries without "=" are kept with an empty value. On Windows the
// per-drive current folders are entries named "=C:" and so on, and UTF-16
// that is not well formed comes out as text that is not valid UTF-8.
using EnvSnapshot = std::vector<std::pair<std::string, std::string>>;

// Captures the current process environment.
EnvSnapshot capture_environment();

// The value of the first snapshot entry whose name equals `name` byte for
// byte, or nothing.
std::optional<std::string> snapshot_lookup(const EnvSnapshot& env, std::string_view name);

// The live value of the environment variable `name`, or nothing when unset.
// On Windows the process's Win32 environment, where names ignore case.
std::optional<std::string> get_env(const char* name);

// The id of this process.
std::uint32_t process_id();

// The per-user configuration root. POSIX: $HOME/.config when HOME is set and
// absolute, else the home folder of the user's passwd entry plus "/.config";
// nothing when neither is known. Windows: the roaming application-data folder
// (the known folder RoamingAppData); nothing when the shell cannot tell it.
std::optional<std::string> config_root();

}  // namespace platform
