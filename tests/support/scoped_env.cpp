#include "tests/support/scoped_env.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include "vault_core/platform/win32_windows.h"
#endif

namespace {

// The process environment that the platform layer reads: environ on POSIX,
// the Win32 environment (not the C runtime's copy) on Windows.
#ifdef _WIN32
std::optional<std::string> get_variable(const std::string& name) {
  const auto value = platform::environment_variable(platform::to_utf16(name).value());
  return value ? std::optional(platform::to_utf8(*value)) : std::nullopt;
}
void set_variable(const std::string& name, const std::string* value) {
  const std::wstring wide_value = value ? platform::to_utf16(*value).value() : std::wstring();
  ::SetEnvironmentVariableW(platform::to_utf16(name).value().c_str(), value ? wide_value.c_str() : nullptr);
}
#else
std::optional<std::string> get_variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}
void set_variable(const std::string& name, const std::string* value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}
#endif

}  // namespace

ScopedEnv::~ScopedEnv() {
  // Newest first, so a name touched twice ends with its original value.
  // NOLINTNEXTLINE(modernize-loop-convert): clang 14 cannot compile a reverse view of this vector
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    const auto& [name, value] = *it;
    set_variable(name, value ? &*value : nullptr);
  }
}

void ScopedEnv::remember(const std::string& name) { saved_.emplace_back(name, get_variable(name)); }

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  set_variable(name, &value);
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  set_variable(name, nullptr);
}

#ifdef _WIN32
PlatformRootLock::PlatformRootLock() : mutex_(::CreateMutexW(nullptr, FALSE, L"Local\\tarnel-tests-platform-root")) {
  if (mutex_ != nullptr) ::WaitForSingleObject(mutex_, INFINITE);  // an abandoned lock is taken all the same
}
PlatformRootLock::~PlatformRootLock() {
  if (mutex_ != nullptr) {
    ::ReleaseMutex(mutex_);
    ::CloseHandle(mutex_);
  }
}
#endif
