#include "tests/windows/helper_programs.h"

#include <windows.h>

#include "vault_core/platform/win32_windows.h"

namespace {

// The folder of the running test executable, with a trailing backslash.
std::string own_folder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return platform::to_utf8(path.substr(0, path.find_last_of(L"\\/") + 1));
}

}  // namespace

std::string process_probe_path() { return own_folder() + "process_probe.exe"; }

std::string stand_in_git_folder() { return own_folder() + "stand-in-git"; }
