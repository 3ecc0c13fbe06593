// The stand-in UI bridge: one thread that serves connections one at a time.
#include "tests/support/bridge_peer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// The few calls whose names or types differ between BSD sockets and Winsock.
#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr int kShutWrite = SD_SEND;
constexpr int kNoSignal = 0;  // Winsock raises no signal
void close_socket(std::intptr_t s) { ::closesocket(static_cast<SOCKET>(s)); }
int poll_socket(std::intptr_t s, short events, int timeout_ms) {
  WSAPOLLFD p{static_cast<SOCKET>(s), events, 0};
  return ::WSAPoll(&p, 1, timeout_ms);
}
std::intptr_t new_socket() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
}
std::intptr_t accept_socket(std::intptr_t listener) {
  const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
}
#else
using NativeSocket = int;
constexpr int kShutWrite = SHUT_WR;
constexpr int kNoSignal = MSG_NOSIGNAL;
void close_socket(std::intptr_t s) { ::close(static_cast<int>(s)); }
int poll_socket(std::intptr_t s, short events, int timeout_ms) {
  pollfd p{static_cast<int>(s), events, 0};
  return ::poll(&p, 1, timeout_ms);
}
std::intptr_t new_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
std::intptr_t accept_socket(std::intptr_t listener) {
  return ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
}
#endif
NativeSocket native(std::intptr_t s) { return static_cast<NativeSocket>(s); }

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A listening socket on an ephemeral loopback port.
std::intptr_t listen_loopback(int backlog, std::uint16_t& port) {
  const std::intptr_t s = new_socket();
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (s < 0 || ::bind(native(s), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(native(s), backlog) != 0 ||
      ::getsockname(native(s), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return s;
}

// Reads what is available into `out`; false at end of stream, on an error or
// when nothing arrives before `deadline`.
bool read_more(std::intptr_t s, std::string& out, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const int ready = poll_socket(s, POLLIN, static_cast<int>(std::min<long long>(left, 50)));
    if (ready < 0) return false;
    if (ready > 0) break;
  }
  char buffer[65536];
  const auto n = ::recv(native(s), buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  out.append(buffer, static_cast<std::size_t>(n));
  return true;
}

// False when the peer has gone.
bool write_all(std::intptr_t s, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::send(native(s), bytes.data(), static_cast<int>(bytes.size()), kNoSignal);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<ClientFrame> decode_client_frame(std::string_view bytes) {
  if (bytes.size() < 2) return std::nullopt;
  ClientFrame frame;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  frame.masked = (byte(1) & 0x80) != 0;
  std::uint64_t length = byte(1) & 0x7f;
  std::size_t header = 2;
  if (length >= 126) {
    const std::size_t extra = length == 126 ? 2 : 8;
    if (bytes.size() < 2 + extra) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < extra; ++i) length = (length << 8) | byte(2 + i);
    header += extra;
  }
  frame.header = std::string(bytes.substr(0, header));
  const std::size_t mask_size = frame.masked ? 4 : 0;
  if (bytes.size() - header - mask_size < length) return std::nullopt;
  frame.payload = std::string(bytes.substr(header + mask_size, length));
  for (std::size_t i = 0; frame.masked && i < frame.payload.size(); ++i) {
    frame.payload[i] = static_cast<char>(frame.payload[i] ^ bytes[header + i % 4]);
  }
  frame.size = header + mask_size + length;
  return frame;
}

BridgePeer::BridgePeer(PeerScript script) : script_(std::move(script)) {
  listener_ = listen_loopback(16, port_);
  thread_ = std::thread([this] { serve(); });
}

BridgePeer::~BridgePeer() {
  stop_ = true;
  thread_.join();
  close_socket(listener_);
}

void BridgePeer::serve() {
  while (!stop_) {
    if (poll_socket(listener_, POLLIN, 20) <= 0) continue;
    const std::intptr_t s = accept_socket(listener_);
    if (s < 0) continue;
    PeerConnection connection = handle(s);
    close_socket(s);
    std::lock_guard lock(mutex_);
    done_.push_back(std::move(connection));
    changed_.notify_all();
  }
}

PeerConnection BridgePeer::handle(std::intptr_t s) const {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  PeerConnection connection;
  std::string received;
  std::size_t end = std::string::npos;
  while ((end = received.find("\r\n\r\n")) == std::string::npos && read_more(s, received, deadline)) {
  }
  if (end == std::string::npos) {
    connection.request = std::move(received);
    return connection;
  }
  connection.request = received.substr(0, end + 4);
  connection.rest = received.substr(end + 4);
  if (script_.drip_ms > 0) {
    for (std::size_t i = 0; i < script_.response.size() && !stop_; ++i) {
      if (!write_all(s, std::string_view(script_.response).substr(i, 1))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(script_.drip_ms));
    }
  } else {
    write_all(s, script_.response);
  }
  if (script_.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script_.pause_ms));
  write_all(s, script_.late);
  if (script_.half_close) ::shutdown(native(s), kShutWrite);
  while (!stop_ && read_more(s, connection.rest, deadline)) {
  }
  return connection;
}

std::vector<PeerConnection> BridgePeer::connections(std::size_t n) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done_.size() >= n; })) {
    ADD_FAILURE() << "the bridge saw " << done_.size() << " connections end, expected " << n;
  }
  return {done_.begin(), done_.begin() + static_cast<std::ptrdiff_t>(std::min(n, done_.size()))};
}

IdleListener::IdleListener(bool full_queue) {
  listener_ = listen_loopback(full_queue ? 0 : 16, port_);
  if (!full_queue) return;
  // A backlog of 0 holds one connection; the one after it is never answered.
  filler_ = new_socket();
  const sockaddr_in address = loopback(port_);
  if (filler_ < 0 || ::connect(native(filler_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot fill the accept queue");
  }
}

IdleListener::~IdleListener() {
  if (filler_ >= 0) close_socket(filler_);
  close_socket(listener_);
}

std::uint16_t unused_loopback_port() {
  std::uint16_t port = 0;
  close_socket(listen_loopback(1, port));
  return port;
}
