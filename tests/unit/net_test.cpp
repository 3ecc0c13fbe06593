// The loopback TCP stream: connect outcomes and time-outs, sending and
// receiving, and a peer that has gone.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/bridge_peer.h"
#include "vault_core/platform/net.h"

namespace {

using namespace std::chrono_literals;
using platform::Socket;
using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A send to a peer that has reset the connection: POSIX reports a broken
// pipe once the reset has been seen; Windows has no broken pipe for sockets
// and reports the reset (or the connection it aborted) again.
bool is_peer_gone_on_send(const std::error_code& ec) {
#ifdef _WIN32
  return ec == std::errc::connection_reset || ec == std::errc::connection_aborted;
#else
  return ec == std::errc::broken_pipe;
#endif
}

TEST(Net, ConnectRefusedWhenNothingListens) {
  // Refused, not timed out: the refusal comes before the time-out.
  const auto socket = Socket::connect_loopback(unused_loopback_port(), 250ms);
  ASSERT_FALSE(socket);
  EXPECT_EQ(socket.error(), std::errc::connection_refused);
}

TEST(Net, ConnectTimesOutWhenNeverAnswered) {
  IdleListener stalled(/*full_queue=*/true);
  const auto start = Clock::now();
  const auto socket = Socket::connect_loopback(stalled.port(), 250ms);
  const auto elapsed = ms_since(start);
  ASSERT_FALSE(socket);
  EXPECT_EQ(socket.error(), std::errc::timed_out);
  EXPECT_GE(elapsed, 240);
  EXPECT_LT(elapsed, 1000);
}

TEST(Net, SendsAndReceivesUntilThePeerCloses) {
  BridgePeer peer({.response = "hello, client", .half_close = true});
  auto socket = Socket::connect_loopback(peer.port(), 250ms);
  ASSERT_TRUE(socket) << socket.error().message();
  ASSERT_TRUE(socket->set_send_timeout(500ms));
  ASSERT_TRUE(socket->set_receive_timeout(500ms));
  ASSERT_TRUE(socket->send_all("request\r\n\r\nafter"));

  std::string received;
  char buffer[4];
  for (;;) {
    const auto n = socket->receive_some(buffer, sizeof buffer);
    ASSERT_TRUE(n) << n.error().message();
    ASSERT_LE(*n, sizeof buffer);
    if (*n == 0) break;
    received.append(buffer, *n);
  }
  EXPECT_EQ(received, "hello, client");
  socket->close();
  EXPECT_FALSE(socket->is_open());
  const auto seen = peer.connections(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request, "request\r\n\r\n");
  EXPECT_EQ(seen[0].rest, "after");
}

TEST(Net, ReceiveTimesOut) {
  BridgePeer peer({.response = ""});
  auto socket = Socket::connect_loopback(peer.port(), 250ms);
  ASSERT_TRUE(socket);
  ASSERT_TRUE(socket->set_receive_timeout(100ms));
  const auto start = Clock::now();
  char buffer[16];
  const auto n = socket->receive_some(buffer, sizeof buffer);
  const auto elapsed = ms_since(start);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error(), std::errc::resource_unavailable_try_again);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 1000);
}

TEST(Net, SendTimesOutWhenThePeerNeverReads) {
  IdleListener idle;
  auto socket = Socket::connect_loopback(idle.port(), 250ms);
  ASSERT_TRUE(socket);
  ASSERT_TRUE(socket->set_send_timeout(100ms));
  // Far more than the socket buffers of both ends hold.
  const std::string bytes(64 << 20, 'x');
  const auto start = Clock::now();
  const auto sent = socket->send_all(bytes);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error(), std::errc::resource_unavailable_try_again);
  EXPECT_LT(ms_since(start), 3000);
}

TEST(Net, SendToAPeerThatHasGoneFailsWithoutASignal) {
  std::optional<IdleListener> idle(std::in_place);
  auto socket = Socket::connect_loopback(idle->port(), 250ms);
  ASSERT_TRUE(socket);
  idle.reset();  // resets the connection that was never accepted
  // The first send meets the reset, the second a broken pipe: neither may
  // raise SIGPIPE, which would end this test process.
  const auto first = socket->send_all("one");
  const auto second = socket->send_all("two");
  ASSERT_FALSE(first);
  ASSERT_FALSE(second);
  EXPECT_TRUE(is_peer_gone_on_send(second.error())) << second.error().message();
}

}  // namespace
