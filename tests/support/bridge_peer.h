// A stand-in for the desktop application's UI bridge: a listener on 127.0.0.1
// at an ephemeral port that answers every connection by a script and records
// the raw handshake request and the frame bytes that the client sent.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A complete upgrade answer of a WebSocket server.
inline constexpr std::string_view kUpgradeResponse =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// What the peer does on each connection, in this order, once the request
// head (up to its blank line) has arrived.
struct PeerScript {
  std::string response{kUpgradeResponse};  // written first; empty writes nothing
  int drip_ms = 0;                         // when positive, `response` goes one byte at a time, this far apart
  int pause_ms = 0;                        // then a pause
  std::string late{};                      // then these bytes
  bool half_close = false;                 // then the peer shuts down its writing side
};

// One client frame as it arrived.
struct ClientFrame {
  std::string header;  // byte 0, byte 1 and the extended length, as sent
  bool masked = false;
  std::string payload;  // unmasked
  std::size_t size = 0;  // bytes the whole frame took, masking key included
};

// Decodes the frame at the start of `bytes`; nothing when they hold no whole frame.
std::optional<ClientFrame> decode_client_frame(std::string_view bytes);

struct PeerConnection {
  std::string request;  // the bytes up to and including the first CR LF CR LF
  std::string rest;     // every byte after it until the client closed
};

class BridgePeer {
 public:
  explicit BridgePeer(PeerScript script = {});
  ~BridgePeer();
  BridgePeer(const BridgePeer&) = delete;
  BridgePeer& operator=(const BridgePeer&) = delete;

  std::uint16_t port() const { return port_; }

  // The first `n` connections, once each has ended; fails the test when they
  // have not ended within 10 seconds.
  std::vector<PeerConnection> connections(std::size_t n);

 private:
  void serve();
  PeerConnection handle(std::intptr_t socket) const;

  PeerScript script_;
  std::intptr_t listener_ = -1;  // a descriptor, or a Winsock SOCKET
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PeerConnection> done_;
  std::thread thread_;
};

// A listener that never accepts: the system completes connections to it, but
// nothing is ever read from them or written to them, and they are reset when
// the listener goes. With `full_queue` its accept queue is already full, so a
// connect to it is never completed at all.
class IdleListener {
 public:
  explicit IdleListener(bool full_queue = false);
  ~IdleListener();
  IdleListener(const IdleListener&) = delete;
  IdleListener& operator=(const IdleListener&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  std::intptr_t listener_ = -1, filler_ = -1;
  std::uint16_t port_ = 0;
};

// A loopback port where nothing listens.
std::uint16_t unused_loopback_port();
