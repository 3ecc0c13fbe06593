// Sets and unsets environment variables of the test process for one test and
// restores every one it touched when it goes away.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Held by the tests that write files under the platform configuration root.
// On Windows that root is the user's roaming application-data folder, which
// every test process shares (HOME does not move it): such tests keep to the
// development namespace there and take this lock, so that one such test runs
// at a time and no other test ever sees their files. Nothing on POSIX, where
// each test has a HOME of its own.
class PlatformRootLock {
 public:
#ifdef _WIN32
  PlatformRootLock();
  ~PlatformRootLock();
#else
  PlatformRootLock() = default;
  ~PlatformRootLock() = default;
#endif
  PlatformRootLock(const PlatformRootLock&) = delete;
  PlatformRootLock& operator=(const PlatformRootLock&) = delete;

 private:
#ifdef _WIN32
  void* mutex_ = nullptr;
#endif
};
