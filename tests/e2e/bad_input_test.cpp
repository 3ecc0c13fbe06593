// Malformed and hostile input through the real binary: truncated JSON,
// members of every JSON type (envelope, tool call, every tool's arguments),
// nesting at the limit, and bytes that are not UTF-8. The
// server answers what deserves an answer, never crashes and never writes to
// standard error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Json = nlohmann::json;

constexpr const char* kParseError = R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";

// One value of each JSON type (two for numbers).
const std::vector<Json>& every_type() {
  static const std::vector<Json> values{nullptr, true, 42, -1.5, "text", Json::array({1, "a"}), Json{{"k", "v"}}};
  return values;
}

// A response line is one JSON object with the request's id and either a
// result or an error.
void expect_envelope(const std::string& line, const Json& id) {
  const Json response = Json::parse(line, nullptr, false);
  ASSERT_TRUE(response.is_object()) << line;
  EXPECT_EQ(response.value("jsonrpc", ""), "2.0") << line;
  EXPECT_EQ(response["id"], id) << line;
  EXPECT_NE(response.contains("result"), response.contains("error")) << line;
}

class BadInput : public ::testing::Test {
 protected:
  BadInput() { dir.write("vault/a.md", "---\ntags: [x]\n---\n# A\ntext\n"); }
  void TearDown() override {
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.stderr_text(), "");
  }
  TempDir dir;
  ServerProcess server{isolated_env(dir.path(), {{"VAULT_PATH", dir.path("vault")}})};
};

TEST_F(BadInput, EveryTruncationOfARequestIsAParseError) {
  const std::string request =
      R"({"jsonrpc":"2.0","id":"t","method":"tools/call","params":{"name":"get_note","arguments":{"path":"a.md","x":[1,2.5e3,true,null,"\u00e9\"\\"]}}})";
  for (std::size_t n = 1; n < request.size(); ++n) {
    server.send_line(request.substr(0, n));
    ASSERT_EQ(server.read_line(), kParseError) << request.substr(0, n);
  }
  server.send_line(request);
  expect_envelope(server.read_line(), "t");
}

TEST_F(BadInput, EnvelopeMembersOfEveryType) {
  int id = 0;
  for (const Json& value : every_type()) {
    // As the id: echoed unchanged; null makes a notification.
    server.send_line(Json{{"id", value}, {"method", "ping"}}.dump());
    if (!value.is_null()) {
      const Json echo{{"id", value}, {"jsonrpc", "2.0"}, {"result", Json::object()}};
      EXPECT_EQ(server.read_line(), echo.dump());
    }
    // As the method: anything but text is the empty method.
    server.send_line(Json{{"id", ++id}, {"method", value}}.dump());
    EXPECT_EQ(server.read_line(),
              R"({"error":{"code":-32601,"message":"Method not found: )" +
                  std::string(value.is_string() ? "text" : "") + R"("},"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0"})");
    // As jsonrpc: ignored.
    server.send_line(Json{{"id", ++id}, {"jsonrpc", value}, {"method", "ping"}}.dump());
    expect_envelope(server.read_line(), id);
    // As params of every method, and as the name and arguments of a tool call.
    for (const char* method : {"ping", "initialize", "tools/list", "tools/call", "initialized"}) {
      server.send_line(Json{{"id", ++id}, {"method", method}, {"params", value}}.dump());
      expect_envelope(server.read_line(), id);
    }
    server.send_line(Json{{"id", ++id}, {"method", "tools/call"}, {"params", {{"name", value}}}}.dump());
    expect_envelope(server.read_line(), id);
    server.send_line(Json{{"id", ++id}, {"method", "initialize"}, {"params", {{"protocolVersion", value}}}}.dump());
    expect_envelope(server.read_line(), id);
  }
}

TEST_F(BadInput, EveryToolTakesArgumentsAndMembersOfEveryType) {
  server.send_line(R"({"id":0,"method":"tools/list"})");
  const Json tools = Json::parse(server.read_line())["result"]["tools"];
  ASSERT_EQ(tools.size(), 12u);
  int id = 0;
  auto call = [&](const std::string& name, const Json& arguments) {
    server.send_line(Json{{"id", ++id}, {"method", "tools/call"}, {"params", {{"name", name}, {"arguments", arguments}}}}.dump());
    const std::string line = server.read_line();
    expect_envelope(line, id);
    const Json result = Json::parse(line, nullptr, false)["result"];
    ASSERT_TRUE(result["content"].is_array() && result["content"].size() == 1) << name << " " << arguments.dump() << ": " << line;
    EXPECT_EQ(result["content"][0]["type"], "text") << line;
  };
  for (const Json& tool : tools) {
    const std::string name = tool["name"];
    for (const Json& value : every_type()) {
      call(name, value);
      for (const auto& [member, schema] : tool["inputSchema"]["properties"].items()) {
        call(name, Json{{member, value}});
      }
    }
  }
  // No call had what it takes to change anything.
  EXPECT_EQ(dir.read("vault/a.md"), "---\ntags: [x]\n---\n# A\ntext\n");
  EXPECT_FALSE(dir.exists("config/com.tarnel.app/vaults.json"));
}

TEST_F(BadInput, NestingAtTheLimitInEveryPlace) {
  auto nested = [](int depth, char open, const std::string& inner) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open == '[' ? "[" : R"({"a":)";
    text += inner;
    for (int i = 0; i < depth; ++i) text += open == '[' ? ']' : '}';
    return text;
  };
  // The request object is the first level; 126 more are the most allowed.
  for (char open : {'[', '{'}) {
    server.send_line(R"({"id":1,"method":"ping","params":)" + nested(126, open, "0") + "}");
    EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})") << open;
    server.send_line(R"({"id":1,"method":"ping","params":)" + nested(127, open, "0") + "}");
    EXPECT_EQ(server.read_line(), kParseError) << open;
  }
  // Deep values as an id (echoed), as tool arguments and inside a UI payload.
  server.send_line(R"({"method":"ping","id":)" + nested(126, '[', "7") + "}");
  EXPECT_EQ(server.read_line(), R"({"id":)" + nested(126, '[', "7") + R"(,"jsonrpc":"2.0","result":{}})");
  server.send_line(R"({"id":2,"method":"tools/call","params":{"name":"highlight_editor","arguments":{"element":"tab","path":)" +
                   nested(123, '{', "1") + "}}}");
  EXPECT_EQ(server.read_line(),
            R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Highlighting tab","type":"text"}]}})");
  server.send_line(R"({"id":3,"method":"tools/call","params":{"name":"get_note","arguments":)" + nested(124, '[', "1") + "}}");
  EXPECT_EQ(server.read_line(),
            R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Note path is required","type":"text"}],"isError":true}})");
}

TEST(BadInputEncoding, InvalidUtf8EndsTheLoopAfterEveryEarlierAnswer) {
  const std::string bad[] = {
      "\xFF",              // never in UTF-8
      "\x80",              // a lone continuation byte
      "\xC0\xAF",          // an overlong "/"
      "\xED\xA0\x80",      // a surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xE2\x82",          // a sequence cut short by the line feed
  };
  TempDir dir;
  for (const std::string& bytes : bad) {
    ServerProcess server(isolated_env(dir.path()));
    server.send("{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"tools/list\"}\n"
                "{\"id\":3,\"method\":\"ping\",\"params\":{\"x\":\"" + bytes + "\"}}\n{\"id\":4,\"method\":\"ping\"}\n");
    EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
    EXPECT_TRUE(server.read_line().starts_with(R"({"id":2,"jsonrpc":"2.0","result":{"tools":[)"));
    EXPECT_EQ(server.finish(), 1);
    EXPECT_TRUE(server.silent_for(0)) << "an answer after the bad line";
    EXPECT_EQ(server.stderr_text(), "");
  }
  // Bad bytes in a last line without a line feed end it the same way.
  ServerProcess server(isolated_env(dir.path()));
  server.send("{\"id\":1,\"method\":\"ping\"}\n\xFE");
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(server.finish(), 1);
  EXPECT_TRUE(server.silent_for(0));
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
