#include "scoped_env.h"

#include <cstdlib>

ScopedEnv::~ScopedEnv() {
  // Newest first, so a name touched twice ends with its original value.
  // NOLINTNEXTLINE(modernize-loop-convert): clang 14 cannot compile a reverse view of this vector
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    const auto& [name, value] = *it;
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

void ScopedEnv::remember(const std::string& name) {
  const char* old = std::getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
}
