// UiNotifier: delivers UI actions ("vault_changed", "open_tab", "highlight",
// "vault_registry_changed") to the desktop application's UI bridge on
// 127.0.0.1, best effort, one WebSocket connection per action.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace server {

class UiNotifier {
 public:
  explicit UiNotifier(std::uint16_t port) : port_(port) {}
  virtual ~UiNotifier() = default;

  // Sends the action with the payload's members beside "type" and "action".
  // Never fails from the caller's point of view; a delivery problem is dropped.
  // Blocks until the delivery attempt ends: at most 250 ms to connect, then
  // at most one second for the rest (and 500 ms for any one send or receive).
  virtual void notify(std::string_view action, nlohmann::json payload);

  std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_;
};

// The message of one UI action: "type" "ui_action", "action" and the members of
// `payload` (when it is an object) in one compact JSON object with its keys in
// ascending byte order. Text that is not UTF-8 is written with U+FFFD.
std::string ui_action_message(std::string_view action, nlohmann::json payload);

// Delivers `message` to the UI bridge at 127.0.0.1:`port`: connect, WebSocket
// upgrade, one masked text frame, close (without a close frame). On failure,
// the reason: the system's text for a failed connect, send or receive (a
// time-out included), "the delivery ran out of time" when the one second
// after connecting runs out, "handshake too large" when the response head reaches
// 8193 bytes without a blank line, or "the UI bridge did not accept the
// WebSocket upgrade" when the status line is not a 101.
[[nodiscard]] std::expected<void, std::string> deliver_ui_message(std::uint16_t port, std::string_view message);

// The 128-bit key of the SipHash-1-3 states that make the handshake and masking
// keys. Each state takes the current k0, which then counts up by one.
struct HashingKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// A Sec-WebSocket-Key from one state: the Base64 text (24 characters) of the
// little-endian digests of the 64-bit integers 0 and 8.
std::string websocket_handshake_key(HashingKey& key);

// A frame masking key from one state: the low 32 bits of the digest of the
// 64-bit integer 0, in little-endian order.
std::array<unsigned char, 4> websocket_masking_key(HashingKey& key);

}  // namespace server
