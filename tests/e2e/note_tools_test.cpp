// Reading and writing notes through the real binary: get_note, create_note,
// update_note and append_to_note, their result objects, their refusals of
// paths outside the vault, the write tripwire, and the UI actions they send
// to a stand-in bridge (only after success, in order).
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/bridge_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/error.h"

namespace {

using Json = nlohmann::json;

std::string error_text(const Json& result) { return ServerProcess::error_text(result); }
std::string ok_text(const Json& result) { return ServerProcess::ok_text(result); }

// The file's mtimeMs as a JSON number text.
std::string mtime_text(const std::string& path) {
  const auto [sec, nsec] = mtime_of(path);
  return Json(static_cast<double>(sec * 1000) + static_cast<double>(nsec) / 1e6).dump();
}

// The platform's text of a folder that is a file.
#ifdef _WIN32
const std::string kNotAFolder = platform::system_error(267).message();  // ERROR_DIRECTORY
#else
const std::string kNotAFolder = "Not a directory";
#endif

constexpr const char* kNoLinks = "the cases with links need symbolic links, which wine does not make";

std::string json_string(const std::string& s) { return Json(s).dump(); }

// The pretty result of update_note and append_to_note.
std::string write_result(const std::string& absolute, const std::string& path, const std::string& vault) {
  return "{\n  \"absolutePath\": " + json_string(absolute) + ",\n  \"mtimeMs\": " + mtime_text(absolute) +
         ",\n  \"path\": " + json_string(path) + ",\n  \"vaultPath\": " + json_string(vault) + "\n}";
}

std::string create_result(const std::string& absolute, const std::string& path, const std::string& vault) {
  return "{\n  \"absolutePath\": " + json_string(absolute) + ",\n  \"path\": " + json_string(path) +
         ",\n  \"vaultPath\": " + json_string(vault) + "\n}";
}

std::string ui(const std::string& action, const std::string& path) {
  return R"({"action":")" + action + R"(","path":)" + json_string(path) + R"(,"type":"ui_action"})";
}

// The text of a created note: the `_id` and `_date` stamped into the
// frontmatter, then `rest`. Nothing when the text has another shape.
std::optional<std::string> after_stamp(const std::string& text, const std::string& opening = "---\n") {
  static const std::regex stamp(R"(_id: (?:[0-9a-z]{7}|"[0-9e]{7}")\n_date: "\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"\n---)");
  if (!text.starts_with(opening)) return std::nullopt;
  std::smatch m;
  const std::string after_opening = text.substr(opening.size());
  if (!std::regex_search(after_opening, m, stamp) || m.position(0) != 0) return std::nullopt;
  return after_opening.substr(static_cast<std::size_t>(m.length(0)));
}

class NoteTools : public ::testing::Test {
 protected:
  TempDir dir;
  BridgePeer peer;
  std::string vault = dir.mkdir("Vault");
  EnvList env(const EnvList& extra = {}) const {
    EnvList all = isolated_env(dir.path(), {{"WS_UI_PORT", std::to_string(peer.port())}, {"VAULT_PATH", vault}});
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }
  // Calls a write tool that must succeed and checks its result object; the
  // mtimeMs in it is the file's after the call.
  void expect_write(ServerProcess& server, const std::string& tool, const Json& arguments, const std::string& absolute,
                    const std::string& path) const {
    const std::string text = ok_text(server.call_tool(tool, arguments));
    EXPECT_EQ(text, write_result(absolute, path, vault)) << arguments;
  }
  // The messages of the first `n` connections the bridge received.
  std::vector<std::string> bridge_messages(std::size_t n) {
    std::vector<std::string> messages;
    for (const auto& connection : peer.connections(n)) {
      const auto frame = decode_client_frame(connection.rest);
      messages.push_back(frame ? frame->payload : "<no frame>");
    }
    return messages;
  }
};

TEST_F(NoteTools, GetNoteReturnsTheParsedNote) {
  const std::string note = dir.write("Vault/Sub/n.md", "---\ntitle: Hello\ntags: [a, b]\n---\n\n  Body text \n\n");
  set_mtime(note, 1700000000, 500000);
  dir.write("Vault/plain.txt", "  # Just text\r\n");
  set_mtime(dir.path("Vault/plain.txt"), 1600000000, 0);
  const bool links = make_link(dir.path("Vault/Sub/n.md"), dir.path("Vault/alias.md"));
  const std::string expected =
      "{\n  \"content\": \"Body text\",\n  \"frontmatter\": {\n    \"tags\": [\n      \"a\",\n"
      "      \"b\"\n    ],\n    \"title\": \"Hello\"\n  },\n  \"mtimeMs\": 1700000000000.5,\n"
      "  \"path\": \"Sub/n.md\",\n  \"vaultLabel\": \"Vault\",\n  \"vaultPath\": " +
      json_string(vault) + "\n}";
  ServerProcess server(env());
  EXPECT_EQ(ok_text(server.call_tool("get_note", {{"path", " Sub/n.md\t"}})), expected);
  // An absolute path inside the vault, a link inside it, the vault named.
  EXPECT_EQ(ok_text(server.call_tool("get_note", {{"path", note}})), expected);
  if (links) {
    EXPECT_EQ(ok_text(server.call_tool("get_note", {{"path", "alias.md"}})), expected);
  }
  EXPECT_EQ(ok_text(server.call_tool("get_note", {{"path", "Sub/./x/../n.md"}, {"vaultPath", " " + vault}})), expected);
  // Any file can be read; without frontmatter the value is {} and the text is the content.
  EXPECT_EQ(ok_text(server.call_tool("get_note", {{"path", "plain.txt"}})),
            "{\n  \"content\": \"# Just text\",\n  \"frontmatter\": {},\n  \"mtimeMs\": 1600000000000.0,\n"
            "  \"path\": \"plain.txt\",\n  \"vaultLabel\": \"Vault\",\n  \"vaultPath\": " +
                json_string(vault) + "\n}");
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
  if (!links) GTEST_SKIP() << kNoLinks;
}

TEST_F(NoteTools, GetNoteRefusals) {
  dir.write("Vault/Sub/n.md", "x");
  dir.write("Vault/bad.md", "caf\xe9");
  const std::string outside = dir.write("outside/secret.md", "secret");
  const bool links = make_link(outside, dir.path("Vault/leak.md")) &&
                     make_link(dir.path("outside"), dir.path("Vault/linkdir"), /*folder=*/true);
  const std::string inside = "Note path must stay inside the active vault";
  struct Case {
    Json arguments;
    std::string message;
  };
  std::vector<Case> cases = {
      {{{"path", "Sub/../../outside/secret.md"}}, inside},
      {{{"path", "."}}, inside},
      {{{"path", "../Vault"}}, inside},
      {{{"path", vault}}, inside},
      {{{"path", vault + "/"}}, inside},
      {{{"path", outside}}, inside},
      {{{"path", vault + "/../outside/secret.md"}}, inside},
      {{{"path", dir.path("outside/missing.md")}}, "File does not exist: " + dir.path("outside/missing.md")},
      {{{"path", "Sub/missing.md"}}, "File does not exist: " + canonical(dir.path("Vault/Sub/missing.md"))},
      {{{"path", "bad.md"}},
       "Failed to read note " + canonical(dir.path("Vault/bad.md")) + ": stream did not contain valid UTF-8"},
      {{{"path", "Sub"}}, "Failed to read note " + canonical(dir.path("Vault/Sub")) + ": Is a directory"},
      {{{"path", " \t"}}, "Note path is required"},
      {{{"path", 5}}, "Note path is required"},
      {Json::array({"Sub/n.md"}), "Note path is required"},
      {{{"path", "Sub/n.md"}, {"vaultPath", " /elsewhere "}}, "Vault is not active in tarnel: /elsewhere"},
      {{{"path", "Sub/n.md"}, {"vaultPath", vault + "/"}}, "Vault is not active in tarnel: " + vault + "/"},
  };
  if (links) cases.insert(cases.end(), {{{{"path", "leak.md"}}, inside}, {{{"path", "linkdir/secret.md"}}, inside}});
  ServerProcess server(env());
  for (const auto& c : cases) {
    EXPECT_EQ(error_text(server.call_tool("get_note", c.arguments)), "Error: " + c.message) << c.arguments;
  }
  EXPECT_EQ(server.finish(), 0);
  if (!links) GTEST_SKIP() << kNoLinks;
}

TEST_F(NoteTools, EveryNoteToolNeedsAVault) {
  const std::string file = dir.write("file.md", "x");
  const Json args = {{"path", "a.md"}, {"content", "x"}, {"query", "x"}};
  const char* tools[] = {"get_note",       "create_note",  "update_note",
                         "append_to_note", "search_notes", "get_vault_context"};
  {
    ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", " "}}));
    for (const char* tool : tools) {
      EXPECT_EQ(error_text(server.call_tool(tool, args)),
                "Error: VAULT_PATH is required. Open a vault in tarnel before starting MCP tools.")
          << tool;
    }
    EXPECT_EQ(server.finish(), 0);
  }
  {
    ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", dir.path("gone")}}));
    for (const char* tool : tools) {
      EXPECT_EQ(error_text(server.call_tool(tool, args)), "Error: File does not exist: " + dir.path("gone")) << tool;
    }
    EXPECT_EQ(server.finish(), 0);
  }
  {
    ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", file}}));
    for (const char* tool : {"get_note", "create_note", "update_note", "append_to_note"}) {
      EXPECT_EQ(error_text(server.call_tool(tool, args)), "Error: Vault is not an accessible directory: " + file)
          << tool;
    }
    for (const char* tool : {"search_notes", "get_vault_context"}) {
      EXPECT_EQ(error_text(server.call_tool(tool, args)),
                "Error: Failed to read directory " + file + ": " + kNotAFolder)
          << tool;
    }
    EXPECT_EQ(server.finish(), 0);
  }
}

TEST_F(NoteTools, CreateNoteStampsAndOpensTheNote) {
  ServerProcess server(env());
  EXPECT_EQ(ok_text(server.call_tool("create_note", {{"path", "Projects/Deep/Er/idea.md"},
                                                     {"content", "# Idea\nsteps"},
                                                     {"title", "ignored"},
                                                     {"tags", {"ignored"}}})),
            create_result(dir.path("Vault/Projects/Deep/Er/idea.md"), "Projects/Deep/Er/idea.md", vault));
  EXPECT_EQ(after_stamp(dir.read("Vault/Projects/Deep/Er/idea.md")), "\n# Idea\nsteps");

  // Blank content: the template, with the title and tags trimmed and blanks dropped.
  EXPECT_EQ(ok_text(server.call_tool("create_note", {{"path", " notes/weekly.md "},
                                                     {"content", " \n "},
                                                     {"title", " Weekly review "},
                                                     {"tags", {" work", " ", 3, "review"}}})),
            create_result(dir.path("Vault/notes/weekly.md"), "notes/weekly.md", vault));
  EXPECT_EQ(after_stamp(dir.read("Vault/notes/weekly.md"), "---\ntags: [\"work\", \"review\"]\n"),
            "\n\n# Weekly review\n");
  // Without a title the file stem names the note; an absolute path inside the vault is made relative.
  EXPECT_EQ(ok_text(server.call_tool("create_note", {{"path", vault + "/Big idea.md"}})),
            create_result(dir.path("Vault/Big idea.md"), "Big idea.md", vault));
  EXPECT_EQ(after_stamp(dir.read("Vault/Big idea.md")), "\n\n# Big idea\n");
  // Content whose frontmatter never closes is stored as it is.
  EXPECT_EQ(ok_text(server.call_tool("create_note", {{"path", "open.md"}, {"content", "---\nnever closed"}})),
            create_result(dir.path("Vault/open.md"), "open.md", vault));
  EXPECT_EQ(dir.read("Vault/open.md"), "---\nnever closed");

  EXPECT_EQ(bridge_messages(8), (std::vector<std::string>{
                                    ui("vault_changed", dir.path("Vault/Projects/Deep/Er/idea.md")),
                                    ui("open_tab", dir.path("Vault/Projects/Deep/Er/idea.md")),
                                    ui("vault_changed", dir.path("Vault/notes/weekly.md")),
                                    ui("open_tab", dir.path("Vault/notes/weekly.md")),
                                    ui("vault_changed", dir.path("Vault/Big idea.md")),
                                    ui("open_tab", dir.path("Vault/Big idea.md")),
                                    ui("vault_changed", dir.path("Vault/open.md")),
                                    ui("open_tab", dir.path("Vault/open.md")),
                                }));
  EXPECT_EQ(server.finish(), 0);
}

TEST_F(NoteTools, CreateNoteRefusals) {
  dir.write("Vault/exists.md", "keep");
  dir.mkdir("outside");
  const bool links = make_link(dir.path("outside"), dir.path("Vault/linkdir"), /*folder=*/true);
  const std::string inside = "Note path must stay inside the active vault";
  struct Case {
    Json arguments;
    std::string message;
  };
  std::vector<Case> cases = {
      {{{"path", "exists.md"}, {"content", "new"}}, "File already exists: " + canonical(dir.path("Vault/exists.md"))},
      {{{"path", "Notes/idea.MD"}}, "New notes must be markdown files ending in .md"},
      {{{"path", "idea.md/"}}, "New notes must be markdown files ending in .md"},
      {{{"path", "a/../../x.md"}}, inside},
      {{{"path", dir.path("outside/x.md")}}, inside},
      {{{"path", vault + "/../outside/x.md"}}, inside},
      {{{"path", "  "}}, "Note path is required"},
      {{{"content", "x"}}, "Note path is required"},
      {{{"path", "a.md"}, {"vaultPath", "/other"}}, "Vault is not active in tarnel: /other"},
  };
  // A folder link that leads out of the vault, with and without missing folders below it.
  if (links) cases.insert(cases.end(), {{{{"path", "linkdir/new.md"}}, inside}, {{{"path", "linkdir/deeper/new.md"}}, inside}});
  ServerProcess server(env());
  for (const auto& c : cases) {
    EXPECT_EQ(error_text(server.call_tool("create_note", c.arguments)), "Error: " + c.message) << c.arguments;
  }
  EXPECT_EQ(dir.read("Vault/exists.md"), "keep");
  EXPECT_FALSE(dir.exists("outside/new.md"));
  EXPECT_FALSE(dir.exists("outside/deeper"));
  EXPECT_FALSE(dir.exists("outside/x.md"));
  EXPECT_FALSE(dir.exists("x.md"));
  // Nothing was sent for the failures, nor by the tools that only read: the
  // first message is this call's.
  ok_text(server.call_tool("get_note", {{"path", "exists.md"}}));
  ok_text(server.call_tool("search_notes", {{"query", "keep"}}));
  ok_text(server.call_tool("get_vault_context", Json::object()));
  ASSERT_EQ(ok_text(server.call_tool("create_note", {{"path", "ok.md"}, {"vaultPath", vault}})),
            create_result(dir.path("Vault/ok.md"), "ok.md", vault));
  EXPECT_EQ(bridge_messages(2), (std::vector<std::string>{ui("vault_changed", dir.path("Vault/ok.md")),
                                                          ui("open_tab", dir.path("Vault/ok.md"))}));
  EXPECT_EQ(server.finish(), 0);
  if (!links) GTEST_SKIP() << kNoLinks;
}

TEST_F(NoteTools, UpdateNoteGuardsWithExpectedMtime) {
  const std::string note = dir.write("Vault/u.md", "old");
  set_mtime(note, 1700000000, 500000);  // mtimeMs 1700000000000.5
  ServerProcess server(env());
  auto conflict = [](const std::string& expected) {
    return "Error: Note was modified since read: expectedMtime " + expected +
           " but on-disk mtimeMs is 1700000000000.5. Re-read the note and retry.";
  };
  EXPECT_EQ(error_text(server.call_tool("update_note",
                                        {{"path", "u.md"}, {"content", "x"}, {"expectedMtime", 1699999999900.0}})),
            conflict("1699999999900"));
  EXPECT_EQ(error_text(server.call_tool("update_note",
                                        {{"path", "u.md"}, {"content", "x"}, {"expectedMtime", 1700000000101.0}})),
            conflict("1700000000101"));
  EXPECT_EQ(error_text(server.call_tool("update_note",
                                        {{"path", "u.md"}, {"content", "x"}, {"expectedMtime", 1700000000200.25}})),
            conflict("1700000000200.25"));
  EXPECT_EQ(error_text(server.call_tool("update_note", {{"path", "u.md"}, {"content", "x"}, {"expectedMtime", 1e23}})),
            conflict("100000000000000000000000"));
  EXPECT_EQ(dir.read("Vault/u.md"), "old");

  // Exactly 100 below and above pass.
  expect_write(server, "update_note", {{"path", "u.md"}, {"content", "one"}, {"expectedMtime", 1699999999900.5}}, note,
               "u.md");
  EXPECT_EQ(dir.read("Vault/u.md"), "one");
  set_mtime(note, 1700000000, 500000);
  expect_write(server, "update_note", {{"path", note}, {"content", "two"}, {"expectedMtime", 1700000000100.5}}, note,
               "u.md");
  EXPECT_EQ(dir.read("Vault/u.md"), "two");
  // A string expectedMtime is no expectedMtime; content is not trimmed.
  expect_write(server, "update_note", {{"path", "u.md"}, {"content", " "}, {"expectedMtime", "1"}}, note, "u.md");
  EXPECT_EQ(dir.read("Vault/u.md"), " ");
  EXPECT_EQ(bridge_messages(3), std::vector<std::string>(3, ui("vault_changed", note)));
  EXPECT_EQ(server.finish(), 0);
}

TEST_F(NoteTools, UpdateNoteWritesOnlyExistingNotesInsideTheVault) {
  const std::string real = dir.write("Vault/real/r.md", "old");
  const std::string outside = dir.write("outside/o.md", "outside");
  const bool links = make_link(real, dir.path("Vault/alias.md")) && make_link(outside, dir.path("Vault/leak.md"));
  ServerProcess server(env());
  struct Case {
    Json arguments;
    std::string message;
  };
  std::vector<Case> cases = {
      {{{"path", "missing.md"}, {"content", "x"}}, "File does not exist: " + canonical(dir.path("Vault/missing.md"))},
      {{{"path", outside}, {"content", "x"}}, "Note path must stay inside the active vault"},
      {{{"path", "real/r.md"}, {"content", ""}}, "content is required"},
      {{{"path", "real/r.md"}}, "content is required"},
      {{{"content", "x"}}, "Note path is required"},
  };
  if (links) cases.push_back({{{"path", "leak.md"}, {"content", "x"}}, "Note path must stay inside the active vault"});
  for (const auto& c : cases) {
    EXPECT_EQ(error_text(server.call_tool("update_note", c.arguments)), "Error: " + c.message) << c.arguments;
  }
  EXPECT_FALSE(dir.exists("Vault/missing.md"));
  EXPECT_EQ(dir.read("outside/o.md"), "outside");
  if (!links) {
    EXPECT_EQ(server.finish(), 0);
    GTEST_SKIP() << kNoLinks;
  }
  // Through a link inside the vault the target is written and the link stays a link.
  expect_write(server, "update_note", {{"path", "alias.md"}, {"content", "new"}}, real, "real/r.md");
  EXPECT_EQ(dir.read("Vault/real/r.md"), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(std::filesystem::path(dir.path("Vault/alias.md")))));
  EXPECT_EQ(bridge_messages(1), std::vector<std::string>{ui("vault_changed", real)});
  EXPECT_EQ(server.finish(), 0);
}

TEST_F(NoteTools, AppendToNoteAddsTheBytesAsGiven) {
  const std::string note = dir.write("Vault/a.md", "text");
  ServerProcess server(env());
  expect_write(server, "append_to_note", {{"path", "a.md"}, {"content", "more"}}, note, "a.md");
  expect_write(server, "append_to_note", {{"path", note}, {"content", "\n line "}}, note, "a.md");
  EXPECT_EQ(dir.read("Vault/a.md"), "textmore\n line ");
  EXPECT_EQ(error_text(server.call_tool("append_to_note", {{"path", "missing.md"}, {"content", "x"}})),
            "Error: File does not exist: " + canonical(dir.path("Vault/missing.md")));
  EXPECT_FALSE(dir.exists("Vault/missing.md"));
  EXPECT_EQ(error_text(server.call_tool("append_to_note", {{"path", "a.md"}, {"content", ""}})),
            "Error: content is required");
  EXPECT_EQ(error_text(server.call_tool("append_to_note", {{"path", "../x.md"}, {"content", "x"}})),
            "Error: Note path must stay inside the active vault");
  EXPECT_EQ(bridge_messages(2), std::vector<std::string>(2, ui("vault_changed", note)));
  EXPECT_EQ(server.finish(), 0);
}

std::string tripwire(const std::string& rule, std::size_t before, std::size_t after, std::size_t run,
                     std::size_t escapes, std::size_t old_run, std::size_t old_escapes) {
  return "Error: tarnel_tripwire: " + rule + " {\"rule\":\"" + rule + "\",\"bytes_before\":" + std::to_string(before) +
         ",\"bytes_after\":" + std::to_string(after) + ",\"longest_run\":" + std::to_string(run) +
         ",\"runaway_escape_run\":" + std::to_string(escapes) + ",\"old_longest_run\":" + std::to_string(old_run) +
         ",\"old_runaway_escape_run\":" + std::to_string(old_escapes) + "}";
}

TEST_F(NoteTools, TheTripwireRefusesRunawayWrites) {
  dir.write("Vault/u.md", "old");
  dir.write("Vault/a.md", "text");
  dir.write("Vault/tail.md", "x" + std::string(200, '\\'));
  const std::string escapes = std::string(600, '\\') + "*";
  ServerProcess server(env());
  EXPECT_EQ(error_text(server.call_tool("update_note", {{"path", "u.md"}, {"content", std::string(70000, '\n')}})),
            tripwire("repeat-explosion", 3, 70000, 70000, 0, 1, 0));
  EXPECT_EQ(error_text(server.call_tool("update_note", {{"path", "u.md"}, {"content", escapes}})),
            tripwire("escape-explosion", 3, 601, 600, 600, 1, 0));
  EXPECT_EQ(error_text(server.call_tool("append_to_note", {{"path", "a.md"}, {"content", escapes}})),
            tripwire("escape-explosion", 4, 605, 600, 600, 1, 0));
  EXPECT_EQ(dir.read("Vault/u.md"), "old");
  EXPECT_EQ(dir.read("Vault/a.md"), "text");

  // Creation checks the stamped text, which has no earlier version.
  const std::regex created(
      R"(Error: tarnel_tripwire: (\S+) \{"rule":"\1","bytes_before":0,"bytes_after":\d+,)"
      R"("longest_run":(\d+),"runaway_escape_run":(\d+),"old_longest_run":0,"old_runaway_escape_run":0\})");
  std::smatch m;
  const std::string lines =
      error_text(server.call_tool("create_note", {{"path", "n.md"}, {"content", "x" + std::string(70000, '\n')}}));
  ASSERT_TRUE(std::regex_match(lines, m, created)) << lines.substr(0, 200);
  EXPECT_EQ(m[1], "repeat-explosion");
  EXPECT_EQ(m[2], "70000");
  const std::string escaped =
      error_text(server.call_tool("create_note", {{"path", "n.md"}, {"content", "# T\n" + escapes}}));
  ASSERT_TRUE(std::regex_match(escaped, m, created)) << escaped.substr(0, 200);
  EXPECT_EQ(m[1], "escape-explosion");
  EXPECT_EQ(m[3], "600");
  EXPECT_FALSE(dir.exists("Vault/n.md"));

  // An appended text under 512 bytes is never checked, even when the note then holds a runaway run.
  const std::string short_run = std::string(400, '\\') + "*";
  expect_write(server, "append_to_note", {{"path", "tail.md"}, {"content", short_run}}, dir.path("Vault/tail.md"),
               "tail.md");
  EXPECT_EQ(dir.read("Vault/tail.md"), "x" + escapes);
  EXPECT_EQ(bridge_messages(1), std::vector<std::string>{ui("vault_changed", dir.path("Vault/tail.md"))});
  EXPECT_EQ(server.finish(), 0);
}

}  // namespace
