// POSIX implementation of the standard streams.
#include <cerrno>
#include <signal.h>
#include <unistd.h>

#include "vault_core/platform/descriptor_posix.h"
#include "vault_core/platform/std_streams.h"

namespace platform {

void prepare_standard_streams() { ::signal(SIGPIPE, SIG_IGN); }

Result<std::size_t> read_standard_input(char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_system_error();
  }
}

Result<void> write_standard_output(std::string_view data) { return write_all_to(STDOUT_FILENO, data); }

Result<void> write_all_to(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_system_error();
    }
    if (n == 0) return std::unexpected(make_error_code(Failure::write_zero));
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace platform
