// The standard streams of tarnel-mcp-server.exe carry bytes unchanged: no
// CR LF in the responses, and a Ctrl-Z (byte 26) is data, not the end of
// input as the C runtime's text mode would take it.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(WindowsStreams, BytesPassUnchanged) {
  TempDir dir;
  ServerProcess server(isolated_env(dir.path()));
  // A Ctrl-Z alone on a line (no JSON: a parse error), then requests that are
  // still read; an answer with an escaped line break inside.
  server.send("\x1A\n{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"tools/call\",\"params\":{\"name\":\"a\\r\\nb\"}}\n");
  EXPECT_EQ(server.read_line(), R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(server.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(server.read_line(),
            R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Unknown tool: a\r\nb","type":"text"}],"isError":true}})");
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
