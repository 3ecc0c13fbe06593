// POSIX implementation of time, sleeping and the secure random source.
#include "vault_core/platform/clock.h"

#include <cerrno>
#include <sys/random.h>
#include <time.h>

namespace platform {

std::string local_time_text(const char* pattern) {
  const time_t now = ::time(nullptr);
  struct tm local{};
  ::localtime_r(&now, &local);
  char buffer[128];
  const std::size_t n = ::strftime(buffer, sizeof buffer, pattern, &local);
  return std::string(buffer, n);
}

void sleep_ms(unsigned ms) {
  struct timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

Result<void> secure_random(void* buffer, std::size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_system_error();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace platform
