// tools/list through the binary, compared byte for byte with the catalogue
// written out by hand: names, descriptions, annotations and schemas are the
// only documentation the agent gets.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kReadOnly =
    R"J("annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true})J";
const std::string kWriting =
    R"J("annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false})J";
const std::string kCloning =
    R"J("annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":true,"readOnlyHint":false})J";
const std::string kVaultPath =
    R"J("vaultPath":{"description":"Optional target vault root. Omit to use the active vault.","type":"string"})J";

const std::string kExpectedTools =
    "[{" + kReadOnly +
    R"J(,"description":"Full-text search across vault notes by title or content. Returns matching paths, titles, and snippets.","inputSchema":{"properties":{"limit":{"description":"Maximum number of results (default: 10)","type":"number"},"query":{"description":"Search query string. Pass an empty string with tags to list every note carrying those tags.","type":"string"},"tags":{"description":"Optional tag filter. Every listed tag must be on the note (tags are matched case-insensitively).","items":{"type":"string"},"type":"array"}},"required":["query"],"type":"object"},"name":"search_notes"},)J"
    "{" + kReadOnly +
    R"J(,"description":"Get vault orientation for the active tarnel vault: tags in use, AGENTS.md instructions, note count, folders, and recent notes.","inputSchema":{"properties":{)J" +
    kVaultPath + R"J(},"type":"object"},"name":"get_vault_context"},)J"
    "{" + kReadOnly +
    R"J(,"description":"List the active tarnel vault available to MCP tools, including whether it has AGENTS.md instructions.","inputSchema":{"properties":{},"type":"object"},"name":"list_vaults"},)J"
    "{" + kWriting +
    R"J(,"description":"Register an existing accessible local folder as a tarnel vault and make it the session active vault. This does not initialize Git.","inputSchema":{"properties":{"label":{"description":"Optional display label. Defaults to the folder name.","type":"string"},"path":{"description":"Absolute path to an existing local folder.","type":"string"}},"required":["path"],"type":"object"},"name":"attach_vault"},)J"
    "{" + kCloning +
    R"J(,"description":"Clone a Git repository with the system Git configuration, then register the resulting folder as a tarnel vault and make it the session active vault. Existing destinations are rejected.","inputSchema":{"properties":{"destinationPath":{"description":"Absolute path for the new clone. It must not already exist.","type":"string"},"label":{"description":"Optional display label. Defaults to the destination folder name.","type":"string"},"remoteUrl":{"description":"Git remote URL understood by the system Git client.","type":"string"}},"required":["remoteUrl","destinationPath"],"type":"object"},"name":"clone_vault"},)J"
    "{" + kReadOnly +
    R"J(,"description":"Read a note with parsed YAML frontmatter, markdown content, and mtimeMs for conflict-guarded edits. Returns {path, frontmatter, content, mtimeMs}.","inputSchema":{"properties":{"path":{"description":"Relative path to the note (e.g. \"project/my-project.md\")","type":"string"},)J" +
    kVaultPath + R"J(},"required":["path"],"type":"object"},"name":"get_note"},)J"
    "{" + kWriting +
    R"J(,"description":"Create a new markdown note inside an active tarnel vault. Does not overwrite existing files. Use content for the full markdown including YAML frontmatter and H1.","inputSchema":{"properties":{"content":{"description":"Full markdown note content, including YAML frontmatter when needed.","type":"string"},"path":{"description":"Relative path inside the vault, or an absolute path inside an active vault. Must end in .md.","type":"string"},"tags":{"description":"Optional tags applied to the new note, used only when content is omitted.","items":{"type":"string"},"type":"array"},"title":{"description":"Optional title used only when content is omitted.","type":"string"},)J" +
    kVaultPath + R"J(},"required":["path"],"type":"object"},"name":"create_note"},)J"
    "{" + kWriting +
    ",\"description\":\"Replace the full content (frontmatter + body) of an existing note. The note must already "
    "exist \xE2\x80\x94 use create_note for new notes. Optionally pass expectedMtime (the note mtimeMs returned by "
    "get_note) to fail-fast when the note changed between read and write.\"," +
    R"J("inputSchema":{"properties":{"content":{"description":"Full new markdown note content (frontmatter + body).","type":"string"},"expectedMtime":{"description":"Optional on-disk mtimeMs from get_note. When set, the update fails if the note has changed.","type":"number"},"path":{"description":"Relative path inside the vault, or an absolute path inside an active vault.","type":"string"},)J" +
    kVaultPath + R"J(},"required":["path","content"],"type":"object"},"name":"update_note"},)J"
    "{" + kWriting +
    R"J(,"description":"Append markdown to the end of an existing note body. Lower-risk than update_note for agents that only need to log or extend content. The note must already exist.","inputSchema":{"properties":{"content":{"description":"Markdown to append after the existing body.","type":"string"},"path":{"description":"Relative path inside the vault, or an absolute path inside an active vault.","type":"string"},)J" +
    kVaultPath + R"J(},"required":["path","content"],"type":"object"},"name":"append_to_note"},)J"
    "{" + kReadOnly +
    R"J(,"description":"Open a note in the tarnel UI as a new tab. Use after creating or editing a note so the user can see it.","inputSchema":{"properties":{"path":{"description":"Relative path to the note","type":"string"},)J" +
    kVaultPath + R"J(},"required":["path"],"type":"object"},"name":"open_note"},)J"
    "{" + kReadOnly +
    R"J(,"description":"Visually highlight a UI element in tarnel (editor, tab, properties panel, or note list). The highlight auto-clears after a short delay.","inputSchema":{"properties":{"element":{"description":"Which UI element to highlight","enum":["editor","tab","properties","notelist"],"type":"string"},"path":{"description":"Optional note path to associate with the highlight","type":"string"}},"required":["element"],"type":"object"},"name":"highlight_editor"},)J"
    "{" + kReadOnly +
    R"J(,"description":"Trigger a vault rescan so new or modified files appear immediately in the tarnel note list.","inputSchema":{"properties":{"path":{"description":"Optional specific note path that changed","type":"string"},)J" +
    kVaultPath + R"J(},"type":"object"},"name":"refresh_vault"}])J";

TEST(Catalogue, ToolsListMatchesTheCatalogueByteForByte) {
  TempDir dir;
  ServerProcess server(isolated_env(dir.path()));
  // params are ignored: no paging, no cursor.
  server.send_line(R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"cursor":"x"}})");
  const std::string expected = R"({"id":1,"jsonrpc":"2.0","result":{"tools":)" + kExpectedTools + "}}";
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

}  // namespace
