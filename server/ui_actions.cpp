// UI bridge client: one connection per action, an HTTP upgrade, one masked
// text frame, close.
#include "server/ui_actions.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>

#include "server/base64.h"
#include "server/siphash.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/net.h"

namespace server {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kConnectTimeout = 250ms;
constexpr auto kIoTimeout = 500ms;       // one send or receive that makes no progress
constexpr auto kDeliveryTimeout = 1s;    // everything after the connect together
constexpr std::size_t kReadSize = 512;
constexpr std::size_t kHeadLimit = 8192;

constexpr const char* kOutOfTime = "the delivery ran out of time";

std::unexpected<std::string> fail(const std::error_code& ec) { return std::unexpected(ec.message()); }

// The time-out for the next send or receive: kIoTimeout, or the time left
// before `deadline` when that is shorter; nothing when no time is left. A
// peer that sends or reads a byte now and then would otherwise hold the
// delivery without end.
std::optional<std::chrono::milliseconds> io_timeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left <= 0ms) return std::nullopt;
  return std::min<std::chrono::milliseconds>(left, kIoTimeout);
}

// A send or receive that failed: kOutOfTime when the deadline has passed (its
// time-out was the time that was left), else the system's text.
std::unexpected<std::string> io_failure(const std::error_code& ec, Clock::time_point deadline) {
  if (Clock::now() >= deadline) return std::unexpected(std::string(kOutOfTime));
  return fail(ec);
}

// Sends every byte of `bytes` under the send time-out that io_timeout gives.
// Only a message larger than the socket's buffers, read slowly by the peer,
// could take one such time-out per partial send; UI messages are far smaller.
std::expected<void, std::string> send_before(platform::Socket& socket, std::string_view bytes, Clock::time_point deadline) {
  const auto timeout = io_timeout(deadline);
  if (!timeout) return std::unexpected(kOutOfTime);
  if (auto set = socket.set_send_timeout(*timeout); !set) return fail(set.error());
  if (auto sent = socket.send_all(bytes); !sent) return io_failure(sent.error(), deadline);
  return {};
}

// The 64-bit integer as its 8 little-endian bytes.
std::string le_bytes(std::uint64_t value) {
  std::string out(8, '\0');
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}

// The digest of the integer under the key of one state.
std::uint64_t digest(const HashingKey& state, std::uint64_t value) {
  return siphash13(state.k0, state.k1, le_bytes(value));
}

// Takes the next hashing state.
HashingKey next_state(HashingKey& key) {
  const HashingKey state = key;
  ++key.k0;
  return state;
}

// This thread's hashing key, drawn from the secure random source on first use.
// When the draw fails, the delivery fails and the next one draws again.
std::expected<HashingKey*, std::string> thread_hashing_key() {
  thread_local std::optional<HashingKey> key;
  if (!key) {
    std::uint64_t halves[2];
    if (auto drawn = platform::secure_random(halves, sizeof halves); !drawn) return fail(drawn.error());
    key = HashingKey{halves[0], halves[1]};
  }
  return &*key;
}

std::string handshake_request(std::uint16_t port, const std::string& key) {
  return "GET / HTTP/1.1\r\n"
         "Host: localhost:" + std::to_string(port) + "\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Key: " + key + "\r\n"
         "Sec-WebSocket-Version: 13\r\n"
         "\r\n";
}

// Reads the response head: up to the first blank line, or whatever arrived
// before the peer closed. Each receive waits as long as io_timeout says.
std::expected<std::string, std::string> read_response_head(platform::Socket& socket, Clock::time_point deadline) {
  std::string head;
  char chunk[kReadSize];
  for (;;) {
    const auto timeout = io_timeout(deadline);
    if (!timeout) return std::unexpected(kOutOfTime);
    if (auto set = socket.set_receive_timeout(*timeout); !set) return fail(set.error());
    const auto n = socket.receive_some(chunk, sizeof chunk);
    if (!n) return io_failure(n.error(), deadline);
    if (*n == 0) return head;
    // Only the new bytes, and the three before them, can complete a blank line.
    const std::size_t from = head.size() < 3 ? 0 : head.size() - 3;
    head.append(chunk, *n);
    if (head.find("\r\n\r\n", from) != std::string::npos) return head;
    if (head.size() > kHeadLimit) return std::unexpected("handshake too large");
  }
}

bool accepts_upgrade(std::string_view head) {
  return head.size() >= 12 && (head.starts_with("HTTP/1.1 101") || head.starts_with("HTTP/1.0 101"));
}

// One final text frame holding all of `message`, masked with `mask`.
std::string text_frame(std::string_view message, const std::array<unsigned char, 4>& mask) {
  std::string frame;
  frame.reserve(14 + message.size());
  frame.push_back(static_cast<char>(0x81));
  const std::uint64_t size = message.size();
  if (size <= 125) {
    frame.push_back(static_cast<char>(0x80 | size));
  } else {
    const int length_bytes = size <= 0xffff ? 2 : 8;
    frame.push_back(static_cast<char>(length_bytes == 2 ? 0xfe : 0xff));
    for (int i = length_bytes - 1; i >= 0; --i) frame.push_back(static_cast<char>(size >> (8 * i)));
  }
  frame.append(reinterpret_cast<const char*>(mask.data()), mask.size());
  const std::size_t start = frame.size();
  frame.append(message);
  for (std::size_t i = 0; i < message.size(); ++i) frame[start + i] = static_cast<char>(frame[start + i] ^ mask[i % 4]);
  return frame;
}

}  // namespace

void UiNotifier::notify(std::string_view action, nlohmann::json payload) {
  // Best effort: the tool's answer never depends on the delivery.
  (void)deliver_ui_message(port_, ui_action_message(action, std::move(payload)));
}

std::string ui_action_message(std::string_view action, nlohmann::json payload) {
  nlohmann::json message = nlohmann::json::object();
  message["type"] = "ui_action";
  message["action"] = action;
  if (payload.is_object()) {
    for (auto it = payload.begin(); it != payload.end(); ++it) message[it.key()] = std::move(*it);
  }
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::expected<void, std::string> deliver_ui_message(std::uint16_t port, std::string_view message) {
  auto socket = platform::Socket::connect_loopback(port, kConnectTimeout);
  if (!socket) return fail(socket.error());
  const Clock::time_point deadline = Clock::now() + kDeliveryTimeout;

  const auto key = thread_hashing_key();
  if (!key) return std::unexpected(key.error());
  if (auto sent = send_before(*socket, handshake_request(port, websocket_handshake_key(**key)), deadline); !sent) {
    return sent;
  }
  const auto head = read_response_head(*socket, deadline);
  if (!head) return std::unexpected(head.error());
  if (!accepts_upgrade(*head)) return std::unexpected("the UI bridge did not accept the WebSocket upgrade");

  return send_before(*socket, text_frame(message, websocket_masking_key(**key)), deadline);  // the socket closes here, without a close frame
}

std::string websocket_handshake_key(HashingKey& key) {
  const HashingKey state = next_state(key);
  return base64_encode(le_bytes(digest(state, 0)) + le_bytes(digest(state, 8)));
}

std::array<unsigned char, 4> websocket_masking_key(HashingKey& key) {
  const std::uint64_t low = digest(next_state(key), 0);
  return {static_cast<unsigned char>(low), static_cast<unsigned char>(low >> 8), static_cast<unsigned char>(low >> 16),
          static_cast<unsigned char>(low >> 24)};
}

}  // namespace server
