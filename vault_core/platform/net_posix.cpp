// POSIX implementation of the loopback TCP stream.
#include "vault_core/platform/net.h"

#include <cerrno>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {
namespace {

Result<void> set_timeout(std::intptr_t handle, int option, std::chrono::milliseconds timeout) {
  // A zero time-out would mean "wait for ever" to the system.
  const auto ms = timeout.count();
  if (ms <= 0) return std::unexpected(system_error(EINVAL));
  struct timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  if (::setsockopt(static_cast<int>(handle), SOL_SOCKET, option, &tv, sizeof tv) != 0) return last_system_error();
  return {};
}

// Waits until the non-blocking connect on `fd` has finished or `timeout` has
// passed, and returns its outcome.
Result<void> finish_connect(int fd, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  struct pollfd p{fd, POLLOUT, 0};
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::unexpected(system_error(ETIMEDOUT));
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready > 0) break;
    if (ready == 0) return std::unexpected(system_error(ETIMEDOUT));
    if (errno != EINTR) return last_system_error();
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return last_system_error();
  if (error != 0) return std::unexpected(system_error(error));
  if ((p.revents & (POLLERR | POLLHUP)) != 0) return std::unexpected(system_error(ENOTCONN));
  return {};
}

}  // namespace

Result<Socket> Socket::connect_loopback(std::uint16_t port, std::chrono::milliseconds timeout) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.is_open()) return last_system_error();
  struct sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = static_cast<int>(socket.handle_);
  if (::connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0) {
    // An interrupted non-blocking connect goes on in the background, as one in progress does.
    if (errno != EINPROGRESS && errno != EINTR) return last_system_error();
    if (auto done = finish_connect(fd, timeout); !done) return std::unexpected(done.error());
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return last_system_error();
  return socket;
}

Result<void> Socket::set_send_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(handle_, SO_SNDTIMEO, timeout);
}

Result<void> Socket::set_receive_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(handle_, SO_RCVTIMEO, timeout);
}

Result<void> Socket::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(static_cast<int>(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_system_error();
    }
    if (n == 0) return std::unexpected(make_error_code(Failure::write_zero));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> Socket::receive_some(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(handle_), buffer, size, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_system_error();
  }
}

void Socket::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace platform
