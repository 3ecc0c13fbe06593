// Time and randomness from the operating system: local time, sleeping and the
// cryptographically secure random source.
#pragma once

#include <cstddef>
#include <string>

#include "error.h"

namespace platform {

// The current local time (the machine's time zone and its daylight-saving
// rules) formatted with a strftime pattern.
std::string local_time_text(const char* pattern);

// Blocks the calling thread for `ms` milliseconds.
void sleep_ms(unsigned ms);

// Fills `buffer` with `size` bytes from the secure random source.
[[nodiscard]] Result<void> secure_random(void* buffer, std::size_t size);

}  // namespace platform
