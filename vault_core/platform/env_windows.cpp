// Windows implementation of the environment functions: the Win32 environment
// of the process (not the C runtime's copy of it) and the known folders.
#include <windows.h>
#include <shlobj.h>

#include "vault_core/platform/env.h"
#include "vault_core/platform/win32_windows.h"

namespace platform {

EnvSnapshot capture_environment() {
  EnvSnapshot env;
  wchar_t* block = ::GetEnvironmentStringsW();
  if (block == nullptr) return env;
  // Entries are NUL-terminated and the block ends with an empty one. The
  // per-drive current folders ("=C:=C:\Notes") are entries too, named "=C:":
  // the name's first character is never the separator.
  for (const wchar_t* entry = block; *entry != L'\0';) {
    const std::wstring_view text(entry);
    const std::size_t eq = text.find(L'=', 1);
    if (eq == std::wstring_view::npos) {
      env.emplace_back(to_utf8(text), std::string());
    } else {
      env.emplace_back(to_utf8(text.substr(0, eq)), to_utf8(text.substr(eq + 1)));
    }
    entry += text.size() + 1;
  }
  ::FreeEnvironmentStringsW(block);
  return env;
}

std::optional<std::string> get_env(const char* name) {
  const auto wide_name = to_utf16(name);
  if (!wide_name || wide_name->empty()) return std::nullopt;
  const auto value = environment_variable(*wide_name);
  if (!value) return std::nullopt;
  return to_utf8(*value);
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

std::optional<std::string> config_root() {
  wchar_t* folder = nullptr;
  const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder);
  std::optional<std::string> root;
  if (SUCCEEDED(result) && folder != nullptr) root = to_utf8(folder);
  ::CoTaskMemFree(folder);  // also on failure, and a null pointer is allowed
  return root;
}

}  // namespace platform
