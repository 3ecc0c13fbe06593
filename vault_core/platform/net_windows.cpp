// Windows implementation of the loopback TCP stream, with Winsock.
#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "vault_core/platform/net.h"

namespace platform {
namespace {

// Winsock is started once, at the first socket, and never stopped.
bool winsock_started() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET native(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

std::unexpected<std::error_code> last_socket_error() {
  return std::unexpected(system_error(::WSAGetLastError()));
}

// The error of a failed send or receive. A time-out set with SO_SNDTIMEO or
// SO_RCVTIMEO is WSAETIMEDOUT here; the interface promises what POSIX
// reports, "would block".
std::unexpected<std::error_code> transfer_error() {
  const int error = ::WSAGetLastError();
  return std::unexpected(system_error(error == WSAETIMEDOUT ? WSAEWOULDBLOCK : error));
}

Result<void> set_timeout(std::intptr_t handle, int option, std::chrono::milliseconds timeout) {
  // A zero time-out would mean "wait for ever" to the system.
  const auto ms = timeout.count();
  if (ms <= 0) return std::unexpected(system_error(WSAEINVAL));
  if (handle < 0) return std::unexpected(system_error(WSAEBADF));
  const DWORD value = static_cast<DWORD>(std::min<long long>(ms, ULONG_MAX));
  if (::setsockopt(native(handle), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
    return last_socket_error();
  }
  return {};
}

// Waits until the non-blocking connect on `s` has finished or `timeout` has
// passed, and returns its outcome. Windows reports a failed connect in the
// exception set, a completed one in the write set.
Result<void> finish_connect(SOCKET s, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::unexpected(system_error(WSAETIMEDOUT));
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
    const int ready = ::select(0, nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) return last_socket_error();
    if (ready > 0) break;
  }
  int error = 0;
  int size = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) return last_socket_error();
  if (error != 0) return std::unexpected(system_error(error));
  return {};
}

}  // namespace

Result<Socket> Socket::connect_loopback(std::uint16_t port, std::chrono::milliseconds timeout) {
  if (!winsock_started()) return last_socket_error();
  // Not inherited: a child process (git) must not hold the connection open.
  const SOCKET s =
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return last_socket_error();
  Socket socket(static_cast<std::intptr_t>(s));
  // Windows answers a reset to its connection request by asking again, for
  // about two seconds, before it reports the refusal; with no retries a port
  // where nothing listens is refused at once, as on POSIX. Best effort: older
  // systems do not know the option.
  TCP_INITIAL_RTO_PARAMETERS rto{TCP_INITIAL_RTO_UNSPECIFIED_RTT, TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
  DWORD returned = 0;
  (void)::WSAIoctl(s, SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &returned, nullptr, nullptr);

  u_long non_blocking = 1;
  if (::ioctlsocket(s, FIONBIO, &non_blocking) != 0) return last_socket_error();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(port);
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return last_socket_error();
    if (auto done = finish_connect(s, timeout); !done) return std::unexpected(done.error());
  }
  u_long blocking = 0;
  if (::ioctlsocket(s, FIONBIO, &blocking) != 0) return last_socket_error();
  return socket;
}

Result<void> Socket::set_send_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(handle_, SO_SNDTIMEO, timeout);
}

Result<void> Socket::set_receive_timeout(std::chrono::milliseconds timeout) {
  return set_timeout(handle_, SO_RCVTIMEO, timeout);
}

Result<void> Socket::send_all(std::string_view bytes) {
  if (handle_ < 0) return std::unexpected(system_error(WSAEBADF));
  while (!bytes.empty()) {
    const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int n = ::send(native(handle_), bytes.data(), size, 0);
    if (n == SOCKET_ERROR) return transfer_error();
    if (n == 0) return std::unexpected(make_error_code(Failure::write_zero));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> Socket::receive_some(char* buffer, std::size_t size) {
  if (handle_ < 0) return std::unexpected(system_error(WSAEBADF));
  const int n = ::recv(native(handle_), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (n == SOCKET_ERROR) return transfer_error();
  return static_cast<std::size_t>(n);
}

void Socket::close() {
  if (handle_ >= 0) ::closesocket(native(handle_));
  handle_ = -1;
}

}  // namespace platform
