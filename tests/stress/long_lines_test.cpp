// Lines of 64 MB through the real binary: a request with a long member is
// answered, a long line that is no JSON gets the parse error, and a long
// note path comes back whole in the error text.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(LongLines, SixtyFourMegabyteLines) {
  TempDir dir;
  dir.write("vault/a.md", "# A\ntext\n");
  ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", dir.path("vault")}}));
  const std::string pad(std::size_t{64} * 1024 * 1024, 'x');
  server.send_line(R"({"id":1,"method":"ping","params":{"pad":")" + pad + "\"}}");
  EXPECT_EQ(server.read_line(60000), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  server.send_line(pad);
  EXPECT_EQ(server.read_line(60000), R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
  // A long note path comes back whole inside the error text.
  const std::string path(std::size_t{1024} * 1024, 'p');
  server.send_line(R"({"id":2,"method":"tools/call","params":{"name":"get_note","arguments":{"path":")" + path + "\"}}}");
  const std::string line = server.read_line(60000);
  EXPECT_NE(line.find(path), std::string::npos);
  EXPECT_TRUE(line.starts_with(R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Error: )")) << line.substr(0, 200);
  EXPECT_TRUE(line.ends_with(R"("type":"text"}],"isError":true}})")) << line.substr(line.size() - 200);
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
