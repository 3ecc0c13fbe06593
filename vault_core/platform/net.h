// TCP streams to the local machine (127.0.0.1) with connect, send and receive
// time-outs, for the UI bridge client. A peer that has gone away shows up as an
// error value, never as a signal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "vault_core/platform/error.h"

namespace platform {

// An open TCP stream, closed when destroyed. Move-only.
class Socket {
 public:
  Socket() = default;
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Connects to 127.0.0.1:`port`. ETIMEDOUT when the connection is not made
  // within `timeout`; the connect error otherwise (ECONNREFUSED when nothing
  // listens). The socket returned blocks, with no time-outs set.
  [[nodiscard]] static Result<Socket> connect_loopback(std::uint16_t port, std::chrono::milliseconds timeout);

  bool is_open() const { return handle_ >= 0; }

  // After `timeout` without progress, a send fails with EAGAIN (EWOULDBLOCK).
  // EINVAL when `timeout` is not positive (so too for the receive time-out).
  [[nodiscard]] Result<void> set_send_timeout(std::chrono::milliseconds timeout);
  // After `timeout` without data, a receive fails with EAGAIN (EWOULDBLOCK).
  [[nodiscard]] Result<void> set_receive_timeout(std::chrono::milliseconds timeout);

  // Sends every byte, retrying short and interrupted sends. Fails with the
  // send error (EAGAIN on the send time-out, EPIPE or ECONNRESET when the
  // peer has gone), or Failure::write_zero when a send accepts nothing.
  [[nodiscard]] Result<void> send_all(std::string_view bytes);

  // Receives at most `size` bytes into `buffer` and returns how many; 0 when
  // the peer has closed its side. Fails with the receive error (EAGAIN on the
  // receive time-out).
  [[nodiscard]] Result<std::size_t> receive_some(char* buffer, std::size_t size);

  // Closes the socket now; further calls fail with EBADF. Idempotent.
  void close();

 private:
  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  // The system's handle of the socket (a descriptor, or a Winsock SOCKET);
  // -1 when closed.
  std::intptr_t handle_ = -1;
};

}  // namespace platform
