// The UI bridge client against a stand-in bridge: the message text, the
// handshake bytes, the frame forms, which answers get a frame, and how long a
// failing delivery may block.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "server/base64.h"
#include "server/siphash.h"
#include "server/ui_actions.h"
#include "tests/support/bridge_peer.h"
#include "vault_core/platform/error.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace server {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The open descriptors of this process; on Windows, where a socket is a
// handle, its open handles.
std::size_t open_descriptors() {
#ifdef _WIN32
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return count;
#else
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
#endif
}

// The request a connection must send, with the key it actually sent.
std::string expected_request(std::uint16_t port, const std::string& key) {
  return "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
         "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::string sent_key(const std::string& request) {
  std::smatch match;
  static const std::regex key_line("\r\nSec-WebSocket-Key: ([^\r]*)\r\n");
  return std::regex_search(request, match, key_line) ? match[1].str() : "<none>";
}

// The connection's only frame; fails the test unless the client sent exactly
// one whole frame and nothing else.
std::string only_frame_text(const PeerConnection& connection) {
  const auto frame = decode_client_frame(connection.rest);
  if (!frame) {
    ADD_FAILURE() << "no whole frame in " << connection.rest.size() << " bytes";
    return "<none>";
  }
  EXPECT_EQ(frame->size, connection.rest.size()) << "bytes after the frame";
  EXPECT_EQ(static_cast<unsigned char>(frame->header[0]), 0x81u);
  EXPECT_TRUE(frame->masked);
  return frame->payload;
}

TEST(UiActionMessage, CompactWithSortedKeys) {
  struct Case {
    std::string action;
    Json payload;
    std::string message;
  };
  const Case cases[] = {
      {"highlight", {{"element", "editor"}, {"path", nullptr}},
       R"({"action":"highlight","element":"editor","path":null,"type":"ui_action"})"},
      {"open_tab", {{"path", "C:\\notes\\a \"b\".md"}},
       R"({"action":"open_tab","path":"C:\\notes\\a \"b\".md","type":"ui_action"})"},
      {"vault_registry_changed", {{"registrationType", "attach"}, {"path", "/v/\u00e9t\u00e9"}},
       "{\"action\":\"vault_registry_changed\",\"path\":\"/v/\u00e9t\u00e9\",\"registrationType\":\"attach\","
       "\"type\":\"ui_action\"}"},
      {"highlight", {{"element", "x"}, {"path", {{"b", 1.5}, {"a", {true, 5}}}}},
       R"({"action":"highlight","element":"x","path":{"a":[true,5],"b":1.5},"type":"ui_action"})"},
      // A path that is not UTF-8 is sent with U+FFFD instead of failing.
      {"vault_changed", {{"path", "/v/\xff.md"}}, "{\"action\":\"vault_changed\",\"path\":\"/v/\xEF\xBF\xBD.md\",\"type\":\"ui_action\"}"},
  };
  for (const auto& c : cases) EXPECT_EQ(ui_action_message(c.action, c.payload), c.message) << c.message;
}

TEST(UiBridge, HandshakeAndFrameOnAFreshConnectionEachTime) {
  BridgePeer peer;
  UiNotifier notifier(peer.port());
  notifier.notify("highlight", {{"element", "editor"}, {"path", nullptr}});
  notifier.notify("vault_changed", {{"path", "/vault/a.md"}});
  notifier.notify("open_tab", {{"path", "/vault/a.md"}});

  const auto seen = peer.connections(3);
  ASSERT_EQ(seen.size(), 3u);
  const std::string messages[] = {
      R"({"action":"highlight","element":"editor","path":null,"type":"ui_action"})",
      R"({"action":"vault_changed","path":"/vault/a.md","type":"ui_action"})",
      R"({"action":"open_tab","path":"/vault/a.md","type":"ui_action"})",
  };
  std::set<std::string> keys;
  static const std::regex base64_key("[A-Za-z0-9+/]{22}==");
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const std::string key = sent_key(seen[i].request);
    EXPECT_EQ(seen[i].request, expected_request(peer.port(), key));
    EXPECT_TRUE(std::regex_match(key, base64_key)) << key;
    keys.insert(key);
    EXPECT_EQ(only_frame_text(seen[i]), messages[i]);
  }
  EXPECT_EQ(keys.size(), 3u) << "a handshake key was used twice";
}

TEST(UiBridge, LengthForms) {
  const std::string overhead = ui_action_message("vault_changed", {{"path", ""}});
  struct Case {
    std::size_t size;
    std::string header;
  };
  const Case cases[] = {
      {125, "\x81\xFD"},
      {126, std::string("\x81\xFE\x00\x7E", 4)},
      {65535, "\x81\xFE\xFF\xFF"},
      {65536, std::string("\x81\xFF\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
  };
  for (const auto& c : cases) {
    BridgePeer peer;
    const std::string message =
        ui_action_message("vault_changed", {{"path", std::string(c.size - overhead.size(), 'p')}});
    ASSERT_EQ(message.size(), c.size);
    UiNotifier(peer.port()).notify("vault_changed", {{"path", std::string(c.size - overhead.size(), 'p')}});
    const auto seen = peer.connections(1);
    ASSERT_EQ(seen.size(), 1u);
    const auto frame = decode_client_frame(seen[0].rest);
    ASSERT_TRUE(frame) << c.size;
    EXPECT_EQ(frame->header, c.header) << c.size;
    EXPECT_EQ(only_frame_text(seen[0]), message) << c.size;
  }
}

TEST(UiBridge, OnlyA101StatusLineGetsTheFrame) {
  const std::string refused = "the UI bridge did not accept the WebSocket upgrade";
  struct Case {
    PeerScript script;
    std::string error;  // empty: delivered
  };
  const Case cases[] = {
      {{}, ""},
      {{.response = "HTTP/1.0 101 Switching Protocols\r\n\r\n"}, ""},
      {{.response = "HTTP/1.1 101\r\n\r\n"}, ""},
      // The peer closes before the blank line: the frame is still sent.
      {{.response = "HTTP/1.1 101", .half_close = true}, ""},
      // The blank line split across two reads.
      {{.response = "HTTP/1.1 101 Switching Protocols\r\n\r", .pause_ms = 50, .late = "\n"}, ""},
      // Anything after the blank line is ignored.
      {{.response = std::string(kUpgradeResponse) + "\x81\x02hi"}, ""},
      {{.response = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}, refused},
      {{.response = "HTTP/1.1 426 Upgrade Required\r\n\r\n"}, refused},
      {{.response = "http/1.1 101 Switching Protocols\r\n\r\n"}, refused},
      {{.response = " HTTP/1.1 101\r\n\r\n"}, refused},
      {{.response = "HTTP/2 101\r\n\r\n"}, refused},
      {{.response = "HTTP/1.1 10", .half_close = true}, refused},
      {{.response = "", .half_close = true}, refused},
  };
  const std::size_t descriptors = open_descriptors();
  for (const auto& c : cases) {
    BridgePeer peer(c.script);
    const auto delivered = deliver_ui_message(peer.port(), R"({"action":"x","type":"ui_action"})");
    EXPECT_EQ(delivered ? "" : delivered.error(), c.error) << c.script.response;
    const auto seen = peer.connections(1);
    ASSERT_EQ(seen.size(), 1u);
    if (c.error.empty()) {
      EXPECT_EQ(only_frame_text(seen[0]), R"({"action":"x","type":"ui_action"})") << c.script.response;
    } else {
      EXPECT_EQ(seen[0].rest, "") << c.script.response;
    }
  }
  EXPECT_EQ(open_descriptors(), descriptors) << "a socket was left open";
}

TEST(UiBridge, ResponseHeadLimit) {
  // A head without a blank line; the blank line follows once the client has
  // had time to read everything before it.
  struct Case {
    std::size_t head;
    std::string error;
  };
  const Case cases[] = {{8192, ""}, {8193, "handshake too large"}, {9000, "handshake too large"}};
  for (const auto& c : cases) {
    std::string head = "HTTP/1.1 101 ";
    head.resize(c.head, 'x');
    BridgePeer peer({.response = head, .pause_ms = 200, .late = "\r\n\r\n"});
    const auto delivered = deliver_ui_message(peer.port(), "{}");
    EXPECT_EQ(delivered ? "" : delivered.error(), c.error) << c.head;
    const auto seen = peer.connections(1);
    ASSERT_EQ(seen.size(), 1u);
    if (c.error.empty()) {
      EXPECT_EQ(only_frame_text(seen[0]), "{}");
    } else {
      EXPECT_EQ(seen[0].rest, "");
    }
  }
}

TEST(UiBridge, FailuresAreSilentAndBounded) {
  // Generous upper bounds: the sanitizers and a busy machine slow everything.
  struct Case {
    std::string name;
    std::uint16_t port;
    long long min_ms, max_ms;
    std::string error;
  };
  const auto system = [](int native) { return platform::system_error(native).message(); };
  IdleListener stalled(/*full_queue=*/true);
  BridgePeer silent({.response = ""});  // accepts, reads the request, never answers
  // Each byte comes well within the time-out of one receive; the whole answer
  // would take 13 seconds.
  BridgePeer dripping({.drip_ms = 100});
  const Case cases[] = {
#ifdef _WIN32
      {"nothing listening", unused_loopback_port(), 0, 1000, system(WSAECONNREFUSED)},
      {"connect never completes", stalled.port(), 240, 1000, system(WSAETIMEDOUT)},
      {"no answer", silent.port(), 490, 1500, system(WSAEWOULDBLOCK)},
#else
      {"nothing listening", unused_loopback_port(), 0, 1000, system(ECONNREFUSED)},
      {"connect never completes", stalled.port(), 240, 1000, system(ETIMEDOUT)},
      {"no answer", silent.port(), 490, 1500, system(EAGAIN)},
#endif
      {"an answer a byte at a time", dripping.port(), 990, 3000, "the delivery ran out of time"},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    const auto delivered = deliver_ui_message(c.port, "{}");
    const auto elapsed = ms_since(start);
    EXPECT_GE(elapsed, c.min_ms) << c.name;
    EXPECT_LT(elapsed, c.max_ms) << c.name;
    ASSERT_FALSE(delivered) << c.name;
    EXPECT_EQ(delivered.error(), c.error) << c.name;
  }
  for (BridgePeer* peer : {&silent, &dripping}) {
    const auto seen = peer->connections(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request, expected_request(peer->port(), sent_key(seen[0].request)));
    EXPECT_EQ(seen[0].rest, "");
  }
}

TEST(UiBridge, KeysComeFromSuccessiveHashingStates) {
  auto le = [](std::uint64_t v, std::size_t bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    return out;
  };
  const std::uint64_t k0 = 0x0706050403020100;
  const std::uint64_t k1 = 0x0f0e0d0c0b0a0908;
  HashingKey key{k0, k1};

  const std::string handshake = websocket_handshake_key(key);
  EXPECT_EQ(handshake, base64_encode(le(siphash13(k0, k1, le(0, 8)), 8) + le(siphash13(k0, k1, le(8, 8)), 8)));
  EXPECT_EQ(handshake.size(), 24u);
  EXPECT_EQ(key.k0, k0 + 1);
  EXPECT_EQ(key.k1, k1);

  const auto mask = websocket_masking_key(key);
  EXPECT_EQ(std::string(mask.begin(), mask.end()), le(siphash13(k0 + 1, k1, le(0, 8)), 4));
  EXPECT_EQ(key.k0, k0 + 2);
  EXPECT_NE(websocket_handshake_key(key), handshake);
}

}  // namespace

}  // namespace server
