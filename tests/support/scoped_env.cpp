#include "scoped_env.h"

#include <cstdlib>
#include <ranges>

ScopedEnv::~ScopedEnv() {
  // Newest first, so a name touched twice ends with its original value.
  for (const auto& [name, value] : std::views::reverse(saved_)) {
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
