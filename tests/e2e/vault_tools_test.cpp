// The vault tools through the real binary: list_vaults, attach_vault and
// clone_vault (with the real git), the session active vault they set, and the
// UI actions open_note and refresh_vault send to a stand-in bridge.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/error.h"
#ifdef _WIN32
#include <windows.h>

#include "tests/windows/helper_programs.h"
#endif

namespace {

using Json = nlohmann::json;

std::string error_text(const Json& result) { return ServerProcess::error_text(result); }
std::string ok_text(const Json& result) { return ServerProcess::ok_text(result); }

// The message texts of the first `n` frames the bridge received.
std::vector<std::string> bridge_messages(BridgePeer& peer, std::size_t n) {
  std::vector<std::string> messages;
  for (const auto& connection : peer.connections(n)) {
    const auto frame = decode_client_frame(connection.rest);
    messages.push_back(frame ? frame->payload : "<no frame>");
  }
  return messages;
}

// `instructions` is a JSON text: null or the path as a string.
std::string listing(const std::string& root, const std::string& label, const std::string& instructions) {
  return "{\n  \"vaults\": [\n    {\n      \"agentInstructionsPath\": " + instructions +
         ",\n      \"hasAgentInstructions\": " + (instructions == "null" ? "false" : "true") +
         ",\n      \"label\": " + Json(label).dump() + ",\n      \"path\": " + Json(root).dump() + "\n    }\n  ]\n}";
}

std::string entry_text(const std::string& label, const std::string& path) {
  return "{\n  \"label\": " + Json(label).dump() + ",\n  \"path\": " + Json(path).dump() + "\n}";
}

// The UI action of a registration, as the bridge receives it.
std::string registered(const std::string& path, const std::string& type) {
  return Json{{"action", "vault_registry_changed"}, {"path", path}, {"registrationType", type}, {"type", "ui_action"}}
      .dump();
}

// The platform's text of a file that is not there.
std::string not_found_text() {
#ifdef _WIN32
  return platform::system_error(ERROR_FILE_NOT_FOUND).message();
#else
  return std::generic_category().message(ENOENT);
#endif
}

// PATH for a server that clones: on Windows, where no Git is installed, the
// folder of the stand-in git.exe comes first.
std::string clone_path() {
  const char* path = std::getenv("PATH");
#ifdef _WIN32
  return stand_in_git_folder() + ";" + (path != nullptr ? path : "");
#else
  return path != nullptr ? path : "/usr/bin:/bin";
#endif
}

class VaultTools : public ::testing::Test {
 protected:
  TempDir dir;
  BridgePeer peer;
  std::string registry() const { return dir.read("config/com.tarnel.app/vaults.json"); }
  EnvList env(const EnvList& extra = {}) const {
    EnvList all = isolated_env(dir.path(), {{"WS_UI_PORT", std::to_string(peer.port())}, {"PATH", clone_path()}});
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }
};

TEST_F(VaultTools, ListVaultsShowsTheActiveVaultOnly) {
  const std::string vault = dir.mkdir("Notes");
  dir.write("Other/AGENTS.md", "hi");
  dir.write("config/com.tarnel.app/vaults.json",
            Json{{"active_vault", dir.path("Other")}, {"vaults", {{{"path", dir.path("Other")}}}}}.dump());
  {
    ServerProcess server(env({{"VAULT_PATH", "  " + vault + "\t"}}));
    EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(vault, "Notes", "null"));
    EXPECT_EQ(server.finish(), 0);
  }
  {
    // Without VAULT_PATH the registry's active vault is used, with its instructions.
    ServerProcess server(env({{"VAULT_PATH", "   "}}));
    EXPECT_EQ(ok_text(server.call_tool("list_vaults", nullptr)),
              listing(dir.path("Other"), "Other", Json(dir.path("Other/AGENTS.md")).dump()));
    EXPECT_EQ(server.finish(), 0);
  }
  {
    // A folder that does not exist is listed all the same.
    ServerProcess server(env({{"VAULT_PATH", dir.path("gone")}}));
    EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(dir.path("gone"), "gone", "null"));
    EXPECT_EQ(server.finish(), 0);
  }
}

TEST_F(VaultTools, NoVaultAnywhereAsksForVaultPath) {
  ServerProcess server(env({{"vault_path", dir.mkdir("lower")}}));
  const std::string expected = "Error: VAULT_PATH is required. Open a vault in tarnel before starting MCP tools.";
  for (const char* tool : {"list_vaults", "get_vault_context", "search_notes", "open_note", "refresh_vault"}) {
    EXPECT_EQ(error_text(server.call_tool(tool, {{"path", "a.md"}, {"query", "x"}})), expected) << tool;
  }
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

TEST_F(VaultTools, UnreadableRegistryIsReported) {
  dir.write("config/com.tarnel.app/vaults.json", "[1, 2]");
  ServerProcess server(env());
  EXPECT_EQ(error_text(server.call_tool("list_vaults", Json::object())),
            "Error: Could not read tarnel vault registry: not an object");
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(registry(), "[1, 2]");
}

TEST_F(VaultTools, AttachStoresTheCanonicalFolderAndBecomesTheSessionVault) {
  const std::string real = dir.mkdir("real/Vault A");
  // Through a link where the platform makes one, so that the folder's canonical form is what counts.
  const bool links = make_link(real, dir.path("link"), /*folder=*/true);
  const std::string other = dir.mkdir("Other");
  ServerProcess server(env({{"VAULT_PATH", other}}));

  EXPECT_EQ(ok_text(server.call_tool("attach_vault", {{"path", " " + (links ? dir.path("link") : real) + "/./ "}})),
            entry_text("Vault A", real));
  EXPECT_EQ(registry(), "{\n  \"active_vault\": null,\n  \"hidden_defaults\": [],\n  \"vaults\": [\n    {\n"
                        "      \"label\": \"Vault A\",\n      \"path\": " + Json(real).dump() + "\n    }\n  ]\n}\n");
  // VAULT_PATH names another folder, but the attached vault is now the active one.
  EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(real, "Vault A", "null"));
  // Attaching again returns the stored entry, stored label included, and writes nothing.
  const std::string before = registry();
  EXPECT_EQ(ok_text(server.call_tool("attach_vault", {{"path", real + "/"}, {"label", "New label"}})),
            entry_text("Vault A", real));
  EXPECT_EQ(registry(), before);
  // A second folder replaces the session vault; its label is the one given, trimmed.
  EXPECT_EQ(ok_text(server.call_tool("attach_vault", {{"path", other}, {"label", "  Mine "}})),
            entry_text("Mine", other));
  EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(other, "Other", "null"));

  EXPECT_EQ(bridge_messages(peer, 3),
            (std::vector<std::string>{registered(real, "attach"), registered(real, "attach"), registered(other, "attach")}));
  EXPECT_EQ(server.finish(), 0);
  if (!links) GTEST_SKIP() << "attaching through a link needs a symbolic link, which wine does not make";
}

TEST_F(VaultTools, AttachRefusesWhatIsNotAnAbsoluteFolder) {
  const std::string file = dir.write("file.md", "x");
  dir.mkdir("registered/inner");
  const std::string vault = dir.mkdir("v");
  ServerProcess server(env({{"VAULT_PATH", vault}}));
  ASSERT_EQ(ok_text(server.call_tool("attach_vault", {{"path", dir.path("registered")}})),
            entry_text("registered", dir.path("registered")));
  struct Case {
    Json arguments;
    std::string message;
  };
  const Case cases[] = {
      {Json::object(), "path is required"},
      {{{"path", "  "}}, "path is required"},
      {{{"path", 42}}, "path is required"},
      {{{"path", "relative/folder"}}, "path must be an absolute path"},
      {{{"path", dir.path("missing")}}, "Vault folder is not an accessible directory: " + not_found_text()},
      {{{"path", file}}, "Vault folder is not an accessible directory: " + file + " is not a directory"},
      {{{"path", dir.path("registered/inner")}},
       "Vault path is inside registered vault or contains one: " + dir.path("registered/inner")},
      {{{"path", dir.path("")}}, "Vault path is inside registered vault or contains one: " + dir.path("")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_text(server.call_tool("attach_vault", c.arguments)), "Error: " + c.message) << c.arguments;
  }
  // The failures left the session vault where the first attach put it.
  EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())),
            listing(dir.path("registered"), "registered", "null"));
  EXPECT_EQ(server.finish(), 0);
}

// A repository with one commit, made with the real git. On Windows, where
// the stand-in git.exe clones by copying, a folder with the note.
std::string make_repository(const TempDir& dir) {
  std::string repo = dir.mkdir("origin repo");
  dir.write("origin repo/note.md", "# From git\n");
#ifndef _WIN32
  const std::string script = "cd '" + repo + "' && git init -q && git add note.md && "
                             "git -c user.name=t -c user.email=t@t.invalid commit -qm init";
  EXPECT_EQ(std::system(script.c_str()), 0);
#endif
  return repo;
}

bool has_clone_folder(const TempDir& dir, const std::string& parent) {
  const std::vector<std::string> names = folder_names(dir.path(parent));
  return std::any_of(names.begin(), names.end(),
                     [](const std::string& name) { return name.find("tarnel-clone") != std::string::npos; });
}

TEST_F(VaultTools, CloneByPathAndByFileUrl) {
  const std::string repo = make_repository(dir);
  ServerProcess server(env());
  const std::string first = dir.path("clones/new parent/first");
  EXPECT_EQ(ok_text(server.call_tool("clone_vault", {{"remoteUrl", repo}, {"destinationPath", "  " + first + " "}})),
            entry_text("first", first));
  EXPECT_EQ(dir.read("clones/new parent/first/note.md"), "# From git\n");
  // Registered exactly as typed after trimming, not in canonical form.
  const std::string typed = dir.path("clones") + "//second";
  EXPECT_EQ(ok_text(server.call_tool("clone_vault",
                                     {{"remoteUrl", "file://" + repo}, {"destinationPath", typed}, {"label", "Two"}})),
            entry_text("Two", typed));
  EXPECT_EQ(dir.read("clones/second/note.md"), "# From git\n");
  EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(typed, "second", "null"));
  EXPECT_FALSE(has_clone_folder(dir, "clones"));
  EXPECT_EQ(bridge_messages(peer, 2)[1], registered(typed, "clone"));
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

TEST_F(VaultTools, CloneFailuresCleanUpAndLeaveTheSessionAlone) {
  const std::string repo = make_repository(dir);
  const std::string vault = dir.mkdir("active");
  const std::string existing = dir.write("taken/keep.txt", "keep");
#ifdef _WIN32
  const std::string root = dir.path().substr(0, 3);  // the drive's root folder
#else
  const std::string root = "/";
#endif
  ServerProcess server(env({{"VAULT_PATH", vault}}));
  struct Case {
    Json arguments;
    std::string message;
  };
  const Case cases[] = {
      {{{"destinationPath", dir.path("d")}}, "remoteUrl is required"},
      {{{"remoteUrl", repo}}, "destinationPath is required"},
      {{{"remoteUrl", repo}, {"destinationPath", "rel/dest"}}, "destinationPath must be an absolute path"},
      {{{"remoteUrl", repo}, {"destinationPath", dir.path("taken")}}, "Clone destination already exists: " + dir.path("taken")},
      {{{"remoteUrl", repo}, {"destinationPath", root}}, "Clone destination already exists: " + root},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_text(server.call_tool("clone_vault", c.arguments)), "Error: " + c.message) << c.arguments;
  }
  EXPECT_EQ(dir.read("taken/keep.txt"), "keep");
  (void)existing;

  const std::string text =
      error_text(server.call_tool("clone_vault", {{"remoteUrl", dir.path("no such repo")}, {"destinationPath", dir.path("out/x")}}));
  EXPECT_TRUE(text.starts_with("Error: Git clone failed: fatal:")) << text;
  EXPECT_FALSE(text.ends_with("\n") || text.ends_with(" ")) << text;
  EXPECT_FALSE(dir.exists("out/x"));
  EXPECT_FALSE(has_clone_folder(dir, "out"));
  EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(vault, "active", "null"));
  EXPECT_EQ(server.finish(), 0);
}

TEST_F(VaultTools, CloneReportsGitExitStatusWhenItSaysNothing) {
  struct Case {
    std::string path;
    std::string message;
    EnvList env;
  };
#ifdef _WIN32
  // The stand-in git.exe exits 128 silently when told to. A Windows process
  // always ends with an exit code, so there is no "None" to see.
  const std::vector<Case> cases = {
      {stand_in_git_folder(), "Git clone failed: exit code Some(128)", {{"TARNEL_STAND_IN_GIT_EXIT", "128"}}},
      {dir.mkdir("bin-empty"), "Could not start git clone: " + not_found_text(), {}},
  };
#else
  // Stand-in git programs on PATH: one exits 128 silently, one is killed.
  const std::string quiet = dir.write("bin-quiet/git", "#!/bin/sh\nexit 128\n");
  const std::string killed = dir.write("bin-killed/git", "#!/bin/sh\n/bin/mkdir -p \"$4\"\nkill -9 $$\n");
  ::chmod(quiet.c_str(), 0755);
  ::chmod(killed.c_str(), 0755);
  const std::vector<Case> cases = {
      {dir.path("bin-quiet"), "Git clone failed: exit code Some(128)", {}},
      {dir.path("bin-killed"), "Git clone failed: exit code None", {}},
      {dir.mkdir("bin-empty"), "Could not start git clone: " + not_found_text(), {}},
  };
#endif
  for (const auto& c : cases) {
    EnvList extra = c.env;
    extra.emplace_back("PATH", c.path);
    ServerProcess server(isolated_env(dir.path(), extra));
    EXPECT_EQ(error_text(server.call_tool("clone_vault", {{"remoteUrl", "x"}, {"destinationPath", dir.path("dest/y")}})),
              "Error: " + c.message);
    EXPECT_FALSE(has_clone_folder(dir, "dest")) << c.path;
    EXPECT_EQ(server.finish(), 0);
  }
}

TEST_F(VaultTools, CloneInsideARegisteredVaultStaysButIsNotRegistered) {
  const std::string repo = make_repository(dir);
  const std::string outer = dir.mkdir("outer");
  ServerProcess server(env());
  ASSERT_EQ(ok_text(server.call_tool("attach_vault", {{"path", outer}})), entry_text("outer", outer));
  const std::string inner = dir.path("outer/inner");
  EXPECT_EQ(error_text(server.call_tool("clone_vault", {{"remoteUrl", repo}, {"destinationPath", inner}})),
            "Error: Vault path is inside registered vault or contains one: " + inner);
  EXPECT_EQ(dir.read("outer/inner/note.md"), "# From git\n");
  EXPECT_EQ(ok_text(server.call_tool("list_vaults", Json::object())), listing(outer, "outer", "null"));
  EXPECT_EQ(server.finish(), 0);
}

TEST_F(VaultTools, OpenNoteAndRefreshVaultSendTheTarget) {
  const std::string vault = dir.mkdir("v");
#ifdef _WIN32
  const std::string elsewhere = "D:\\elsewhere\\x.md";
#else
  const std::string elsewhere = "/elsewhere/x.md";
#endif
  ServerProcess server(env({{"VAULT_PATH", vault}}));
  EXPECT_EQ(ok_text(server.call_tool("open_note", {{"path", "a/b.md"}})), "Opening " + dir.path("v/a/b.md") + " in tarnel");
  EXPECT_EQ(ok_text(server.call_tool("open_note", {{"path", elsewhere}, {"vaultPath", "/not/active"}})),
            "Opening " + elsewhere + " in tarnel");
  EXPECT_EQ(ok_text(server.call_tool("open_note", Json::object())), "Opening " + vault + " in tarnel");
  EXPECT_EQ(ok_text(server.call_tool("open_note", {{"path", "../x.md"}})), "Opening " + dir.path("x.md") + " in tarnel");
  EXPECT_EQ(ok_text(server.call_tool("refresh_vault", Json::object())), "Vault refresh triggered");
  EXPECT_EQ(ok_text(server.call_tool("refresh_vault", {{"path", "n.md"}, {"vaultPath", vault}})),
            "Vault refresh triggered");
  EXPECT_EQ(error_text(server.call_tool("refresh_vault", {{"path", "n.md"}, {"vaultPath", vault + "/"}})),
            "Error: Vault is not active in tarnel: " + vault + "/");
  auto message = [](const std::string& action, const std::string& path) {
    return Json{{"action", action}, {"path", path}, {"type", "ui_action"}}.dump();
  };
  EXPECT_EQ(bridge_messages(peer, 10),
            (std::vector<std::string>{
                message("vault_changed", dir.path("v/a/b.md")), message("open_tab", dir.path("v/a/b.md")),
                message("vault_changed", elsewhere), message("open_tab", elsewhere),
                message("vault_changed", vault), message("open_tab", vault),
                message("vault_changed", dir.path("x.md")), message("open_tab", dir.path("x.md")),
                message("vault_changed", vault), message("vault_changed", dir.path("v/n.md")),
            }));
  EXPECT_EQ(server.finish(), 0);
}

}  // namespace

TEST(TwoServers, AttachingAtTheSameTimeLosesNoEntry) {
  // Two server processes share one configuration folder and register 150
  // folders each, their requests written all at once.
  TempDir dir;
  constexpr int kPerServer = 150;
  const char* const sides[] = {"a", "b"};
  for (const char* side : sides) {
    for (int i = 0; i < kPerServer; ++i) dir.mkdir(std::string(side) + "/" + std::to_string(i));
  }
  auto attach_all = [&](const std::string& side) {
    ServerProcess server(isolated_env(dir.path()));
    std::string lines;
    for (int i = 0; i < kPerServer; ++i) {
      const Json arguments = {{"path", dir.path(side + "/" + std::to_string(i))}};
      lines += Json{{"jsonrpc", "2.0"}, {"id", i}, {"method", "tools/call"},
                    {"params", {{"name", "attach_vault"}, {"arguments", arguments}}}}.dump() + "\n";
    }
    server.send(lines);
    for (int i = 0; i < kPerServer; ++i) {
      const Json response = Json::parse(server.read_line(60000));
      EXPECT_FALSE(response["result"].value("isError", false)) << response.dump();
    }
    EXPECT_EQ(server.finish(), 0);
  };
  std::thread first(attach_all, "a");
  std::thread second(attach_all, "b");
  first.join();
  second.join();

  const Json registry = Json::parse(dir.read("config/com.tarnel.app/vaults.json"));
  std::set<std::string> paths;
  for (const Json& entry : registry["vaults"]) paths.insert(entry["path"].get<std::string>());
  EXPECT_EQ(paths.size(), 2u * kPerServer);
  EXPECT_EQ(folder_names(dir.path("config/com.tarnel.app")), std::vector<std::string>{"vaults.json"});
}
