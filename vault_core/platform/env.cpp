// The environment functions that are the same on every platform.
#include "vault_core/platform/env.h"

namespace platform {

std::optional<std::string> snapshot_lookup(const EnvSnapshot& env, std::string_view name) {
  for (const auto& [key, value] : env) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace platform
