// UI actions through the real binary: highlight_editor answers at once and its
// message reaches a stand-in bridge on WS_UI_PORT, or is dropped when nothing
// listens there.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/bridge_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Json = nlohmann::json;

EnvList env_with_port(const std::string& root, std::uint16_t port) {
  return isolated_env(root, {{"WS_UI_PORT", std::to_string(port)}});
}

TEST(UiBridgeE2e, HighlightEditorReachesTheBridge) {
  TempDir dir;
  BridgePeer peer;
  ServerProcess server(env_with_port(dir.path(), peer.port()));
  struct Case {
    Json arguments;
    std::string text, message;
  };
  const Case cases[] = {
      {Json::object(), "Highlighting undefined",
       R"({"action":"highlight","element":"undefined","path":null,"type":"ui_action"})"},
      {{{"element", "sidebar"}, {"path", 5}}, "Highlighting sidebar",
       R"({"action":"highlight","element":"sidebar","path":5,"type":"ui_action"})"},
      {{{"element", "editor"}, {"path", {{"z", "\u00e9"}, {"a", {1.5, nullptr}}}}}, "Highlighting editor",
       "{\"action\":\"highlight\",\"element\":\"editor\",\"path\":{\"a\":[1.5,null],\"z\":\"\u00e9\"},"
       "\"type\":\"ui_action\"}"},
  };
  for (const auto& c : cases) {
    const Json result = server.call_tool("highlight_editor", c.arguments);
    EXPECT_EQ(ServerProcess::result_text(result), c.text);
    EXPECT_FALSE(result.contains("isError"));
  }
  const auto seen = peer.connections(std::size(cases));
  ASSERT_EQ(seen.size(), std::size(cases));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const auto frame = decode_client_frame(seen[i].rest);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, cases[i].message);
    EXPECT_EQ(frame->size, seen[i].rest.size());
  }
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

TEST(UiBridgeE2e, NothingListeningStillAnswers) {
  TempDir dir;
  ServerProcess server(env_with_port(dir.path(), unused_loopback_port()));
  const Json result = server.call_tool("highlight_editor", {{"element", "editor"}});
  EXPECT_EQ(ServerProcess::result_text(result), "Highlighting editor");
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
