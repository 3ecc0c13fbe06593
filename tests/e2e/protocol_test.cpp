// The wire protocol through the real binary: framing, parse errors,
// notifications, the methods, exit codes and a silent standard error.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;

class Protocol : public ::testing::Test {
 protected:
  TempDir dir;
  ServerProcess server{isolated_env(dir.path())};

  void TearDown() override {
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.stderr_text(), "");
  }
};

TEST_F(Protocol, AnswersEachRequestLineByteForByte) {
  struct Case {
    std::string request, response;
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", R"({"id":7,"jsonrpc":"2.0","result":{}})"},
      {R"({"id":"abc","method":"ping"})", R"({"id":"abc","jsonrpc":"2.0","result":{}})"},
      {R"({"id":0,"method":"ping"})", R"({"id":0,"jsonrpc":"2.0","result":{}})"},
      {R"({"id":[1,{"b":1,"a":2}],"method":"ping"})", R"({"id":[1,{"a":2,"b":1}],"jsonrpc":"2.0","result":{}})"},
      {R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})",
       R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2025-03-26","serverInfo":{"name":"tarnel-mcp-server","version":"0.3.0"}}})"},
      {R"({"id":2,"method":"initialize","params":{"protocolVersion":""}})",
       R"({"id":2,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"tarnel-mcp-server","version":"0.3.0"}}})"},
      {R"({"id":3,"method":"initialize","params":{"protocolVersion":5}})",
       R"({"id":3,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"tarnel-mcp-server","version":"0.3.0"}}})"},
      {R"({"id":4,"method":"initialize"})",
       R"({"id":4,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"tarnel-mcp-server","version":"0.3.0"}}})"},
      {R"({"id":5,"method":"initialized"})", R"({"id":5,"jsonrpc":"2.0","result":null})"},
      {R"({"id":6,"method":"notifications/initialized"})", R"({"id":6,"jsonrpc":"2.0","result":null})"},
      {R"({"id":8,"method":"resources/list"})",
       R"({"error":{"code":-32601,"message":"Method not found: resources/list"},"id":8,"jsonrpc":"2.0"})"},
      {R"({"id":9,"method":"Ping"})", R"({"error":{"code":-32601,"message":"Method not found: Ping"},"id":9,"jsonrpc":"2.0"})"},
      {R"({"id":10})", R"({"error":{"code":-32601,"message":"Method not found: "},"id":10,"jsonrpc":"2.0"})"},
      {R"({"id":11,"method":42})", R"({"error":{"code":-32601,"message":"Method not found: "},"id":11,"jsonrpc":"2.0"})"},
      {"hello world", R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"id":1,"method":"ping"} trailing)", R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"id":1,"method":"ping"}{})", R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      // A NUL byte anywhere: the JSON parser alone would stop there and answer the request before it.
      {"{\"id\":1,\"method\":\"ping\"}\0 anything"s,
       R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {"{\"id\":1,\"method\":\"ping\"}  \0"s, R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {"{\"id\":1,\"method\":\"ping\",\"params\":{\"a\":\"x\0\"}}"s,
       R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {"\0{\"id\":1,\"method\":\"ping\"}"s, R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {"  \t{\"id\":12,\"method\":\"ping\"}\u00A0 ", R"({"id":12,"jsonrpc":"2.0","result":{}})"},
      {R"({"id":13,"method":"tools/call","params":{"name":"Get_Note"}})",
       R"({"id":13,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Unknown tool: Get_Note","type":"text"}],"isError":true}})"},
      {R"({"id":14,"method":"tools/call"})",
       R"({"id":14,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Unknown tool: ","type":"text"}],"isError":true}})"},
      {R"({"id":15,"method":"tools/call","params":[1]})",
       R"({"id":15,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Unknown tool: ","type":"text"}],"isError":true}})"},
      {R"({"id":16,"method":"tools/call","params":{"name":"x\u0001\"\\\b\f\n\r\t\u00e9\ud83d\ude00"}})",
       "{\"id\":16,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"Error: Unknown tool: "
       "x\\u0001\\\"\\\\\\b\\f\\n\\r\\t\u00e9\U0001F600\",\"type\":\"text\"}],\"isError\":true}}"},
      {R"({"id":1.5e2,"method":"ping"})", R"({"id":150.0,"jsonrpc":"2.0","result":{}})"},
  };
  for (const auto& c : cases) {
    server.send_line(c.request);
    EXPECT_EQ(server.read_line(), c.response) << c.request;
  }
}

TEST_F(Protocol, SilentLinesProduceNothing) {
  const std::string silent[] = {
      "",
      "   \t ",
      "{}",
      "[]",
      R"([{"id":1,"method":"ping"}])",
      R"("text")",
      "42",
      "null",
      R"({"id":null,"method":"ping"})",
      R"({"method":"ping"})",
      R"({"method":"resources/list"})",
      R"({"method":"tools/call","params":{"name":"nope"}})",
  };
  for (const auto& line : silent) server.send_line(line);
  // A request after them is answered first: nothing was written for the silent lines.
  server.send_line(R"({"id":"after","method":"ping"})");
  EXPECT_EQ(server.read_line(), R"({"id":"after","jsonrpc":"2.0","result":{}})");
}

TEST_F(Protocol, CrLfAndFinalLineWithoutLineFeed) {
  server.send("{\"id\":1,\"method\":\"ping\"}\r\n{\"id\":2,\"method\":\"ping\"}\n{\"id\":3,\"method\":\"ping\"}");
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(server.read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.read_line(), R"({"id":3,"jsonrpc":"2.0","result":{}})");
}

TEST_F(Protocol, NestingLimitIs127) {
  auto nested = [](int depth) {
    return R"({"id":1,"method":"ping","params":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  server.send_line(nested(127));
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  server.send_line(nested(128));
  EXPECT_EQ(server.read_line(), R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
  // Brackets inside strings are not nesting.
  server.send_line(R"({"id":2,"method":"ping","params":")" + std::string(500, '[') + "\"}");
  EXPECT_EQ(server.read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
}

TEST_F(Protocol, LongLinesHaveNoLimit) {
  const std::string big(std::size_t{3} * 1024 * 1024, 'x');
  server.send_line(R"({"id":1,"method":"ping","params":{"pad":")" + big + "\"}}");
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
}

TEST(ProtocolExit, EndOfInputRightAfterStartExitsZeroSilently) {
  TempDir dir;
  ServerProcess server(isolated_env(dir.path()), {"--ignored", "argument"});
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
  EXPECT_TRUE(server.silent_for(0));
}

TEST(ProtocolExit, InvalidUtf8EndsWithCodeOneAfterEarlierAnswers) {
  TempDir dir;
  ServerProcess server(isolated_env(dir.path()));
  server.send("{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"ping\",\"x\":\"\xC3\x28\"}\n{\"id\":3,\"method\":\"ping\"}\n");
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(server.finish(), 1);
  EXPECT_TRUE(server.silent_for(0));
  EXPECT_EQ(server.stderr_text(), "");
}

TEST(ProtocolExit, WriteFailureEndsWithCodeOne) {
  TempDir dir;
  ServerProcess server(isolated_env(dir.path()));
  // Close the read end of standard output, then ask for a response.
  server.close_stdout();
  server.send_line(R"({"id":1,"method":"ping"})");
  EXPECT_EQ(server.finish(), 1);
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
