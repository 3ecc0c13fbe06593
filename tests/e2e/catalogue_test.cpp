// tools/list through the binary, compared byte for byte with the catalogue in
// tests/e2e/catalogue.json: names, descriptions, annotations and schemas are
// the only documentation the agent gets. The file keeps the members in the
// order the wire must show them; it is read without reordering.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

// The catalogue file as one compact line, its member order kept.
std::string expected_tools() {
  const auto catalogue = nlohmann::ordered_json::parse(read_file_text(TARNEL_SOURCE_DIR "/tests/e2e/catalogue.json"));
  return catalogue.dump();
}

TEST(Catalogue, ToolsListMatchesTheCatalogueByteForByte) {
  TempDir dir;
  ServerProcess server(isolated_env(dir.path()));
  // params are ignored: no paging, no cursor.
  server.send_line(R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"cursor":"x"}})");
  const std::string expected = R"({"id":1,"jsonrpc":"2.0","result":{"tools":)" + expected_tools() + "}}";
  const std::string actual = server.read_line();
  EXPECT_EQ(actual, expected);
  // Point at the first differing byte to make a mismatch readable.
  const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  EXPECT_TRUE(diff.first == actual.end() && diff.second == expected.end())
      << "first difference at byte " << (diff.first - actual.begin()) << ": ..."
      << std::string(diff.first, std::min(diff.first + 60, actual.end()));
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

TEST(Catalogue, TheFileIsTwelveToolsInCatalogueOrder) {
  const auto catalogue = nlohmann::ordered_json::parse(read_file_text(TARNEL_SOURCE_DIR "/tests/e2e/catalogue.json"));
  std::vector<std::string> names;
  for (const auto& tool : catalogue) names.push_back(tool["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"search_notes", "get_vault_context", "list_vaults", "attach_vault",
                                             "clone_vault", "get_note", "create_note", "update_note", "append_to_note",
                                             "open_note", "highlight_editor", "refresh_vault"}));
}

}  // namespace
