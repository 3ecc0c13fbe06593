// Time and randomness from the operating system: local time, sleeping and the
// cryptographically secure random source, and the seam through which the
// server waits, so that tests can count waits instead of spending them.
#pragma once

#include <cstddef>
#include <string>

#include "vault_core/platform/error.h"

namespace platform {

// The current local time (the machine's time zone and its daylight-saving
// rules) formatted with a strftime pattern.
std::string local_time_text(const char* pattern);

// Blocks the calling thread for `ms` milliseconds.
void sleep_ms(unsigned ms);

// Fills `buffer` with `size` bytes from the secure random source.
[[nodiscard]] Result<void> secure_random(void* buffer, std::size_t size);

// Waiting, as the server's code does it. The native clock sleeps.
class Clock {
 public:
  virtual ~Clock() = default;
  // Waits `ms` milliseconds.
  virtual void sleep_ms(unsigned ms);
};

// The active clock: the native one unless a test replaced it.
Clock& clock();

// Makes `replacement` the active clock for the lifetime of this object.
class ScopedClock {
 public:
  explicit ScopedClock(Clock& replacement);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

}  // namespace platform
