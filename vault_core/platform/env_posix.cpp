// POSIX implementation of the environment functions.
#include "vault_core/platform/env.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {

EnvSnapshot capture_environment() {
  EnvSnapshot env;
  for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
    const char* entry = *p;
    const char* eq = std::strchr(entry, '=');
    if (eq == nullptr) {
      env.emplace_back(entry, std::string());
    } else {
      env.emplace_back(std::string(entry, eq), std::string(eq + 1));
    }
  }
  return env;
}

std::optional<std::string> get_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(::getpid()); }

std::optional<std::string> config_root() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.config";
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  struct passwd pw{};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::string(found->pw_dir) + "/.config";
  }
  return std::nullopt;
}

}  // namespace platform
