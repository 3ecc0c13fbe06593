// POSIX implementation of the standard stream calls.
#include "stdio.h"

#include <signal.h>
#include <unistd.h>

namespace platform {

void ignore_broken_pipe() { ::signal(SIGPIPE, SIG_IGN); }

Result<std::size_t> read_some(int fd, char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_error();
  }
}

Result<void> write_fd(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) return std::unexpected(make_error_code(Failure::write_zero));
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace platform
