// search_notes and get_vault_context through the real binary: the walk
// (hidden names, links, walk order), matching, titles, snippets, the limit,
// the tag filter, and the vault context with its recent notes, tags, folders
// and instruction files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Json = nlohmann::json;

std::string error_text(const Json& result) { return ServerProcess::error_text(result); }
std::string ok_text(const Json& result) { return ServerProcess::ok_text(result); }

constexpr const char* kNoLinks = "this test needs symbolic links, which wine does not make";

// The names in a folder in the order the system lists them: the walk order.
std::vector<std::string> listing_order(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(std::filesystem::path(folder), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    names.emplace_back(reinterpret_cast<const char*>(name.data()), name.size());
  }
  EXPECT_FALSE(ec) << folder << ": " << ec.message();
  return names;
}

// One search hit as the tool writes it, in the vault labelled "Vault".
std::string hit(const std::string& title, const std::string& path, const std::string& snippet) {
  return "**" + title + "** (Vault / " + path + ")\n" + snippet;
}

std::string joined(const std::vector<std::string>& hits) {
  std::string out;
  for (const auto& h : hits) out += (out.empty() ? "" : "\n\n") + h;
  return out;
}

Json recent(const std::string& path, const std::vector<std::string>& tags, const std::string& title) {
  return Json{{"path", path}, {"tags", tags}, {"title", title}};
}

class NoteSearch : public ::testing::Test {
 protected:
  TempDir dir;
  std::string vault = dir.mkdir("Vault");
  // A server working in `vault`.
  std::unique_ptr<ServerProcess> server() const {
    return std::make_unique<ServerProcess>(isolated_env(dir.path(), {{"VAULT_PATH", vault}}));
  }
  static std::string search(ServerProcess& s, const Json& arguments) {
    return ok_text(s.call_tool("search_notes", arguments));
  }
  // The vault context object for the given arguments.
  static Json context(ServerProcess& s, const Json& arguments = Json::object()) {
    return Json::parse(ok_text(s.call_tool("get_vault_context", arguments)));
  }
};

TEST_F(NoteSearch, HitsInWalkOrderWithTitleLabelPathAndSnippet) {
  dir.write("Vault/one.md", "# First note\nalpha beta here\n");
  dir.write("Vault/two.md", "---\n_title: Second\n---\n\nalpha text");
  dir.write("Vault/three.md", "nothing");
  std::vector<std::string> expected;
  for (const auto& name : listing_order(vault)) {
    if (name == "one.md") expected.push_back(hit("First note", "one.md", "# First note\nalpha beta here"));
    if (name == "two.md") expected.push_back(hit("Second", "two.md", "alpha text"));
  }
  auto s = server();
  EXPECT_EQ(search(*s, {{"query", "ALPHA"}}), joined(expected));
  EXPECT_EQ(search(*s, {{"query", "absent"}}), "No matching notes found.");
  EXPECT_EQ(s->finish(), 0);
  EXPECT_EQ(s->stderr_text(), "");
}

TEST_F(NoteSearch, TheLimitCountsHitsInWalkOrder) {
  for (int i = 0; i < 12; ++i) dir.write("Vault/n" + std::to_string(100 + i) + ".md", "alpha");
  std::vector<std::string> all;
  for (const auto& name : listing_order(vault)) {
    const std::string stem = name.substr(0, name.size() - 3);
    all.push_back(hit(stem, name, "alpha"));
  }
  auto first = [&](std::size_t n) {
    return joined(std::vector<std::string>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n)));
  };
  struct Case {
    Json arguments;
    std::size_t hits;
  };
  const Case cases[] = {
      {{{"query", "alpha"}}, 10},
      {{{"query", "alpha"}, {"limit", 0}}, 10},
      {{{"query", "alpha"}, {"limit", -3}}, 10},
      {{{"query", "alpha"}, {"limit", "5"}}, 10},
      {{{"query", "alpha"}, {"limit", 2.9}}, 2},
      {{{"query", "alpha"}, {"limit", 1}}, 1},
      {{{"query", "alpha"}, {"limit", 1e30}}, 12},
      {{{"query", "alpha"}, {"limit", 18446744073709551615ULL}}, 12},
      {{{"limit", 12}}, 12},
  };
  auto s = server();
  for (const auto& c : cases) EXPECT_EQ(search(*s, c.arguments), first(c.hits)) << c.arguments;
  EXPECT_EQ(search(*s, {{"query", "alpha"}, {"limit", 0.5}}), "No matching notes found.");
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, OnlyVisibleMarkdownFilesAreNotes) {
  for (const char* name : {".config/a.md", ".trash/b.md", ".hidden.md", "sub/.h.md", "Notes.MD", "x.txt", "md"}) {
    dir.write(std::string("Vault/") + name, "word");
  }
  dir.write("Vault/sub/notes.md", "word");
  auto s = server();
  EXPECT_EQ(search(*s, {{"query", "word"}}), hit("notes", "sub/notes.md", "word"));
  const Json ctx = context(*s);
  EXPECT_EQ(ctx["noteCount"], 1);
  EXPECT_EQ(ctx["folders"], Json::array({"sub/"}));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, LinksToNotesInsideAreReadLinksOutAndFolderLinksAreNot) {
  dir.write("Vault/real/r.md", "word inside");
  dir.write("outside/in.md", "word outside");
  dir.write("outside/secret.md", "word secret");
  if (!make_link(dir.path("Vault/real/r.md"), dir.path("Vault/alias.md"))) GTEST_SKIP() << kNoLinks;
  ASSERT_TRUE(make_link(dir.path("outside/secret.md"), dir.path("Vault/leak.md")));
  ASSERT_TRUE(make_link(dir.path("outside/secret.md"), dir.path("Vault/real/up.md")));
  ASSERT_TRUE(make_link(dir.path("outside"), dir.path("Vault/linkdir"), /*folder=*/true));
  ASSERT_TRUE(make_link(dir.path("Vault/real"), dir.path("Vault/inner-dir"), /*folder=*/true));
  set_mtime(dir.path("Vault/real/r.md"), 1000);
  std::vector<std::string> expected;
  for (const auto& name : listing_order(vault)) {
    if (name == "alias.md") expected.push_back(hit("alias", "alias.md", "word inside"));
    if (name == "real") expected.push_back(hit("r", "real/r.md", "word inside"));
  }
  auto s = server();
  EXPECT_EQ(search(*s, {{"query", "word"}}), joined(expected));
  EXPECT_EQ(search(*s, {{"query", "secret"}}), "No matching notes found.");
  const Json ctx = context(*s);
  EXPECT_EQ(ctx["noteCount"], 2);
  EXPECT_EQ(ctx["folders"], Json::array({"real/"}));
  std::vector<std::string> paths;
  for (const auto& entry : ctx["recentNotes"]) paths.push_back(entry["path"]);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"alias.md", "real/r.md"}));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, ADanglingLinkIsListedAndFailsTheRead) {
  if (!make_link(dir.path("Vault/gone.md"), dir.path("Vault/dangling.md"))) GTEST_SKIP() << kNoLinks;
  auto s = server();
  EXPECT_EQ(error_text(s->call_tool("search_notes", {{"query", "x"}})),
            "Error: File does not exist: " + dir.path("Vault/dangling.md"));
  EXPECT_EQ(error_text(s->call_tool("get_vault_context", Json::object())),
            "Error: File does not exist: " + dir.path("Vault/dangling.md"));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, TermsMatchTitleOrTextAndPickTheSnippetNeedle) {
  dir.write("Vault/alpha.md", "beta stuff");   // 'alpha' only in the title (the stem)
  dir.write("Vault/lonely.md", "alpha only");  // no 'beta' anywhere
  dir.write("Vault/foo.md", "Some words, then The FOO here");
  const std::string order = std::string(60, 'x') + "second" + std::string(60, 'y') + "first";
  dir.write("Vault/order.md", order);
  const std::string tie = "kiwifruit" + std::string(100, 'z');
  dir.write("Vault/tie.md", tie);
  auto s = server();
  EXPECT_EQ(search(*s, {{"query", " alpha\tbeta "}}), hit("alpha", "alpha.md", "beta stuff"));
  EXPECT_EQ(search(*s, {{"query", "Foo  foo FOO"}}), hit("foo", "foo.md", "Some words, then The FOO here"));
  // The needle is the term found first in the text, whatever the query order;
  // on a tie the earlier term.
  EXPECT_EQ(search(*s, {{"query", "first second"}}), hit("order", "order.md", "..." + order.substr(20)));
  EXPECT_EQ(search(*s, {{"query", "kiwifruit kiwi"}}), hit("tie", "tie.md", tie.substr(0, 89) + "..."));
  EXPECT_EQ(search(*s, {{"query", "kiwi kiwifruit"}}), hit("tie", "tie.md", tie.substr(0, 84) + "..."));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, Snippets) {
  const std::string at41 = "b" + std::string(40, 'a') + "forty" + std::string(80, 'c');
  dir.write("Vault/s10.md", "0123456789tenth rest");
  dir.write("Vault/s41.md", at41);
  dir.write("Vault/gamma.md", std::string(130, 'z'));
  dir.write("Vault/draft.md", "---\n# draft\nstatus: x\n---\nBody words");
  dir.write("Vault/hollow.md", "---\n_title: \"\"\n---\nhollow");
  dir.write("Vault/heading.md", "---\n_title: 42\n---\n_title: From line\nsomething");
  dir.write("Vault/long.md", "---\ntags: [many]\n---\n" + std::string(100, 'l'));
  auto s = server();
  EXPECT_EQ(search(*s, {{"query", "tenth"}}), hit("s10", "s10.md", "0123456789tenth rest"));
  EXPECT_EQ(search(*s, {{"query", "forty"}}), hit("s41", "s41.md", "..." + at41.substr(1)));
  dir.write("Vault/s41.md", at41 + "d");
  EXPECT_EQ(search(*s, {{"query", "forty"}}), hit("s41", "s41.md", "..." + at41.substr(1) + "..."));
  // Only the title matches: the first 120 characters of the body.
  EXPECT_EQ(search(*s, {{"query", "GAMMA"}}), hit("gamma", "gamma.md", std::string(120, 'z')));
  // A YAML comment in the frontmatter is a heading; a needle outside the body leaves the body's start.
  EXPECT_EQ(search(*s, {{"query", "status"}}), hit("draft", "draft.md", "Body words"));
  // A text `_title` is used even when empty; any other `_title` leaves the title to the text.
  EXPECT_EQ(search(*s, {{"query", "hollow"}}), hit("", "hollow.md", "hollow"));
  EXPECT_EQ(search(*s, {{"query", "something"}}), hit("42", "heading.md", "_title: From line\nsomething"));
  // Without terms: the first 80 characters of the body.
  EXPECT_EQ(search(*s, {{"tags", {"many"}}}), hit("long", "long.md", std::string(80, 'l') + "..."));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, EveryRequestedTagMustBeANoteTag) {
  dir.write("Vault/t1.md", "---\ntags: [Work, Project]\n---\nfirst body");
  dir.write("Vault/t2.md", "---\ntags: [work]\n---\nsecond body");
  dir.write("Vault/t3.md", "---\ntags: '#project'\n---\n" + std::string(90, 'p'));
  dir.write("Vault/t4.md", "no tags, work project");
  std::vector<std::string> work;
  std::vector<std::string> project;
  for (const auto& name : listing_order(vault)) {
    if (name == "t1.md") {
      work.push_back(hit("t1", "t1.md", "first body"));
      project.push_back(hit("t1", "t1.md", "first body"));
    }
    if (name == "t2.md") work.push_back(hit("t2", "t2.md", "second body"));
    if (name == "t3.md") project.push_back(hit("t3", "t3.md", std::string(80, 'p') + "..."));
  }
  auto s = server();
  EXPECT_EQ(search(*s, {{"tags", {" work"}}}), "No matching notes found.");
  EXPECT_EQ(search(*s, {{"tags", {"#work"}}}), "No matching notes found.");
  EXPECT_EQ(search(*s, {{"tags", {"WORK"}}}), joined(work));
  EXPECT_EQ(search(*s, {{"query", ""}, {"tags", {"project"}}}), joined(project));
  EXPECT_EQ(search(*s, {{"query", "body"}, {"tags", {"work", "project"}}}), hit("t1", "t1.md", "first body"));
  EXPECT_EQ(search(*s, {{"query", "first"}, {"tags", "work"}}), hit("t1", "t1.md", "first body"));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, ANoteThatIsNotTextFailsTheSearchOnceReached) {
  dir.write("Vault/good.md", "word");
  dir.write("Vault/bad.md", "word \xff");
  const auto order = listing_order(vault);
  const bool bad_first =
      std::find(order.begin(), order.end(), "bad.md") < std::find(order.begin(), order.end(), "good.md");
  const std::string failure =
      "Error: Failed to read note " + dir.path("Vault/bad.md") + ": stream did not contain valid UTF-8";
  auto s = server();
  EXPECT_EQ(error_text(s->call_tool("search_notes", {{"query", "word"}})), failure);
  EXPECT_EQ(error_text(s->call_tool("search_notes", {{"query", "nothing"}})), failure);
  const Json limited = s->call_tool("search_notes", {{"query", "word"}, {"limit", 1}});
  if (bad_first) {
    EXPECT_EQ(error_text(limited), failure);
  } else {
    EXPECT_EQ(ok_text(limited), hit("good", "good.md", "word"));
  }
  // The vault context reads it with U+FFFD in place of the bad byte.
  EXPECT_EQ(context(*s)["noteCount"], 2);
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, ContextOfAnEmptyVault) {
  dir.mkdir("Vault/empty folder");
  auto s = server();
  EXPECT_EQ(ok_text(s->call_tool("get_vault_context", Json::object())),
            "{\n  \"agentInstructions\": null,\n  \"configFiles\": {},\n  \"folders\": [],\n  \"noteCount\": 0,\n"
            "  \"recentNotes\": [],\n  \"tags\": [],\n  \"vaultPath\": " +
                Json(vault).dump() + "\n}");
  EXPECT_EQ(error_text(s->call_tool("get_vault_context", {{"vaultPath", "/other"}})),
            "Error: Vault is not active in tarnel: /other");
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, ContextListsFoldersTagsTitlesAndInstructions) {
  set_mtime(dir.write("Vault/a/b/c.md", "---\ntags: [Work, ' #x ']\n---\n# Heading"), 5000, 500000);
  set_mtime(dir.write("Vault/a/d.md", "---\n_title: Own title\ntags: work\n---\n# Heading"), 4000);
  set_mtime(dir.write("Vault/top.md", "plain"), 3000);
  set_mtime(dir.write("Vault/AGENTS.md", "Be kind.\n"), 2000);
  set_mtime(dir.write("Vault/config/agents.md", "agent config\n"), 1000);
  const Json expected = {
      {"agentInstructions", {{"content", "Be kind.\n"}, {"path", dir.path("Vault/AGENTS.md")}}},
      {"configFiles", {{"agents", "agent config\n"}}},
      {"folders", {"a/", "config/"}},
      {"noteCount", 5},
      {"recentNotes",
       {recent("a/b/c.md", {"Work", "x"}, "Heading"), recent("a/d.md", {"work"}, "Own title"),
        recent("top.md", {}, "top"), recent("AGENTS.md", {}, "AGENTS"), recent("config/agents.md", {}, "agents")}},
      {"tags", {"Work", "work", "x"}},
      {"vaultPath", vault},
  };
  auto s = server();
  EXPECT_EQ(ok_text(s->call_tool("get_vault_context", {{"vaultPath", " " + vault + " "}})), expected.dump(2));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, ContextKeepsTheTwentyNewestAndBreaksTiesByWalkOrder) {
  for (int i = 0; i < 25; ++i) set_mtime(dir.write("Vault/n" + std::to_string(100 + i) + ".md", "x"), 1000 + i);
  Json newest = Json::array();
  for (int i = 24; i >= 5; --i)
    newest.push_back(recent("n" + std::to_string(100 + i) + ".md", {}, "n" + std::to_string(100 + i)));
  auto s = server();
  EXPECT_EQ(context(*s)["recentNotes"], newest);
  EXPECT_EQ(context(*s)["noteCount"], 25);

  // 22 notes modified at one instant after 3 newer ones: the newer three,
  // then the first 17 of the 22 in walk order.
  for (int i = 0; i < 25; ++i) {
    set_mtime(dir.path("Vault/n" + std::to_string(100 + i) + ".md"), i < 3 ? 3000 - i : 2000, 250);
  }
  Json expected = Json::array();
  for (int i = 0; i < 3; ++i)
    expected.push_back(recent("n" + std::to_string(100 + i) + ".md", {}, "n" + std::to_string(100 + i)));
  for (const auto& name : listing_order(vault)) {
    if (expected.size() == 20) break;
    const std::string stem = name.substr(0, name.size() - 3);
    if (std::stoi(stem.substr(1)) >= 103) expected.push_back(recent(name, {}, stem));
  }
  EXPECT_EQ(context(*s)["recentNotes"], expected);
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, ContextTitlesOfLargeAndIllFormedNotes) {
  const std::string filler(70000, 'f');
  // The only heading lies after the first 65,536 bytes: found by reading the whole note.
  dir.write("Vault/late.md", filler + "\n# Late heading\n" + std::string(100000 - 70000 - 16, 'g'));
  // A `_title` equal to the stem is looked for again in the whole text.
  dir.write("Vault/same.md", "---\n_title: same\n---\n" + filler + "\n# Found later\n");
  dir.write("Vault/none.md", filler + "\nno heading anywhere");
  // Not UTF-8 in its first part: counted and listed, with U+FFFD for the bad bytes.
  dir.write("Vault/latin.md", "---\ntags: [caf\xe9]\n---\n# Caf\xe9 notes\n");
  auto s = server();
  const Json ctx = context(*s);
  EXPECT_EQ(ctx["noteCount"], 4);
  EXPECT_EQ(ctx["tags"], Json::array({"caf\uFFFD"}));
  std::map<std::string, std::string> titles;
  for (const auto& entry : ctx["recentNotes"]) titles[entry["path"]] = entry["title"];
  EXPECT_EQ(titles, (std::map<std::string, std::string>{{"late.md", "Late heading"},
                                                        {"same.md", "Found later"},
                                                        {"none.md", "none"},
                                                        {"latin.md", "Caf\uFFFD notes"}}));
  EXPECT_EQ(s->finish(), 0);
}

TEST_F(NoteSearch, InstructionFilesThatLeadOutOfTheVaultAreNotRead) {
  const std::string secret = dir.write("outside/secret.txt", "private\n");
  dir.write("outside/config/agents.md", "outside config\n");
  if (!make_link(secret, dir.path("Vault/AGENTS.md"))) GTEST_SKIP() << kNoLinks;
  ASSERT_TRUE(make_link(dir.path("outside/config"), dir.path("Vault/config"), /*folder=*/true));
  auto s = server();
  const Json ctx = context(*s);
  EXPECT_EQ(ctx["agentInstructions"], nullptr);
  EXPECT_EQ(ctx["configFiles"], Json::object());
  EXPECT_EQ(ctx["noteCount"], 0);
  EXPECT_EQ(
      ok_text(s->call_tool("list_vaults", Json::object())),
      "{\n  \"vaults\": [\n    {\n      \"agentInstructionsPath\": null,\n      \"hasAgentInstructions\": false,\n"
      "      \"label\": \"Vault\",\n      \"path\": " +
          Json(vault).dump() + "\n    }\n  ]\n}");
  EXPECT_EQ(s->finish(), 0);

  // Links that stay inside the vault are followed.
  dir.write("Vault/docs/agents-guide.md", "inside\n");
  dir.write("Vault/settings/agents.md", "inside config\n");
  ASSERT_TRUE(std::filesystem::remove(std::filesystem::path(dir.path("Vault/AGENTS.md"))));
  ASSERT_TRUE(std::filesystem::remove(std::filesystem::path(dir.path("Vault/config"))));
  ASSERT_TRUE(make_link(dir.path("Vault/docs/agents-guide.md"), dir.path("Vault/AGENTS.md")));
  ASSERT_TRUE(make_link(dir.path("Vault/settings"), dir.path("Vault/config"), /*folder=*/true));
  auto again = server();
  const Json inside = context(*again);
  EXPECT_EQ(inside["agentInstructions"], (Json{{"content", "inside\n"}, {"path", dir.path("Vault/AGENTS.md")}}));
  EXPECT_EQ(inside["configFiles"], (Json{{"agents", "inside config\n"}}));
  EXPECT_EQ(again->finish(), 0);
}

}  // namespace
