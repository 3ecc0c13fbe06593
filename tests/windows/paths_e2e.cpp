// Windows-only cases through tarnel-mcp-server.exe: the forms a Windows path
// takes (drive letters in either case, both slashes, the extended-length
// prefix, UNC shares) in VAULT_PATH and in arguments, with the display forms
// in results; names Windows refuses and device names; and the configuration
// root taken from the roaming application-data folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scoped_env.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/error.h"
#include "vault_core/platform/win32_windows.h"

namespace {

using Json = nlohmann::json;

std::string ok_text(const Json& result) { return ServerProcess::ok_text(result); }
std::string error_text(const Json& result) { return ServerProcess::error_text(result); }

const std::string kInvalidPath =
    "Failed to create note: the path is invalid on this platform. Rename the note or move it to a valid folder, then "
    "try again. Path: ";

// The result object of a tool that must succeed.
Json ok_json(ServerProcess& server, const std::string& tool, const Json& arguments) {
  return Json::parse(ok_text(server.call_tool(tool, arguments)));
}

TEST(WindowsVaultPaths, EveryFormOfTheVaultPathReachesTheSameVault) {
  TempDir dir;
  dir.write("vault/n.md", "the note");
  const std::string vault = dir.path("vault");
  std::string lower_drive = vault;
  lower_drive[0] = static_cast<char>(std::tolower(lower_drive[0]));
  std::string forward = vault;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  const std::string forms[] = {vault, lower_drive, forward, canonical(vault)};
  int round = 0;
  for (const std::string& form : forms) {
    SCOPED_TRACE(form);
    ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", form}}));
    // The vault is named as it was given; the note's path is portable.
    const Json note = ok_json(server, "get_note", {{"path", "n.md"}});
    EXPECT_EQ(note["content"], "the note");
    EXPECT_EQ(note["vaultPath"], form);
    EXPECT_EQ(note["vaultLabel"], "vault");
    // A created note is reported in display form: no extended-length prefix.
    const std::string name = "sub/new" + std::to_string(++round) + ".md";
    const Json created = ok_json(server, "create_note", {{"path", name}, {"content", "# New"}});
    EXPECT_EQ(created["absolutePath"], dir.path("vault/" + name));
    EXPECT_EQ(created["path"], name);
    EXPECT_EQ(created["vaultPath"], form);
    EXPECT_TRUE(dir.read("vault/" + name).ends_with("\n---\n# New"));  // after the stamped frontmatter
    // The target sent to the application is the vault text joined with the path.
    EXPECT_EQ(ok_text(server.call_tool("open_note", {{"path", "a/b.md"}})),
              "Opening " + form + (form.ends_with('/') ? "" : "\\") + "a\\b.md in tarnel");
    // A missing note is named by the canonical form of its path.
    EXPECT_EQ(error_text(server.call_tool("get_note", {{"path", "gone.md"}})),
              "Error: File does not exist: " + canonical(dir.path("vault/gone.md")));
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.stderr_text(), "");
  }
}

TEST(WindowsVaultPaths, NotePathArgumentsInEveryForm) {
  TempDir dir;
  dir.write("vault/Sub/n.md", "the note");
  const std::string vault = dir.path("vault");
  std::string lower_drive = dir.path("vault/Sub/n.md");
  lower_drive[0] = static_cast<char>(std::tolower(lower_drive[0]));
  ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", vault}}));
  const std::string paths[] = {
      "Sub/n.md", "Sub\\n.md", "./Sub/x/../n.md", dir.path("vault/Sub/n.md"), lower_drive,
      canonical(dir.path("vault/Sub/n.md")), canonical(vault) + "\\Sub/n.md",  // "/" in an extended-length path
  };
  for (const std::string& path : paths) {
    const Json note = ok_json(server, "get_note", {{"path", path}});
    EXPECT_EQ(note["path"], "Sub/n.md") << path;
    EXPECT_EQ(note["content"], "the note") << path;
  }
  // Written through an extended-length path inside the vault: reported in display form.
  const Json appended =
      ok_json(server, "append_to_note", {{"path", canonical(dir.path("vault/Sub/n.md"))}, {"content", "!"}});
  EXPECT_EQ(appended["absolutePath"], dir.path("vault/Sub/n.md"));
  EXPECT_EQ(appended["path"], "Sub/n.md");
  EXPECT_EQ(dir.read("vault/Sub/n.md"), "the note!");
  // Outside the vault in every form.
  dir.write("outside.md", "x");
  for (const std::string& path : {std::string("../outside.md"), std::string("..\\outside.md"), dir.path("outside.md"),
                                  canonical(dir.path("outside.md")), canonical(vault) + "\\..\\outside.md"}) {
    const std::string message = error_text(server.call_tool("get_note", {{"path", path}}));
    EXPECT_TRUE(message == "Error: Note path must stay inside the active vault" ||
                message.starts_with("Error: Failed to resolve note "))
        << path << ": " << message;
  }
  EXPECT_EQ(server.finish(), 0);
}

// A UNC share. Under wine \\server\share names the folder
// dosdevices\unc\server\share of the wine prefix; on Windows the
// administrative share of the drive is used, where it can be reached.
TEST(WindowsVaultPaths, AVaultOnAShare) {
  TempDir dir;
  std::string share_root;
  std::filesystem::path made;
  if (under_wine()) {
    const auto prefix = platform::get_env("WINEPREFIX");
    if (!prefix) GTEST_SKIP() << "WINEPREFIX is not set";
    const std::string host = "tarnel-test-" + std::to_string(::GetCurrentProcessId());
    std::string unix_prefix = *prefix;
    std::replace(unix_prefix.begin(), unix_prefix.end(), '/', '\\');
    made = std::filesystem::path(platform::to_utf16("Z:" + unix_prefix + "\\dosdevices\\unc\\" + host).value());
    std::filesystem::create_directories(made / "share");
    share_root = "\\\\" + host + "\\share";
  } else {
    share_root = "\\\\localhost\\" + dir.path().substr(0, 1) + "$" + dir.path().substr(2);
    if (!std::filesystem::exists(std::filesystem::path(platform::to_utf16(share_root).value()))) {
      GTEST_SKIP() << "the drive's administrative share cannot be reached";
    }
  }
  const std::string vault = share_root + "\\vault";
  write_file_text(vault + "\\n.md", "on the share");
  {
    ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", vault}}));
    const Json note = ok_json(server, "get_note", {{"path", "n.md"}});
    EXPECT_EQ(note["content"], "on the share");
    EXPECT_EQ(note["vaultPath"], vault);
    const Json created = ok_json(server, "create_note", {{"path", "sub/new.md"}, {"content", "made"}});
    // Windows names the new note on the share (\\server\share\...); wine by
    // the folder that holds the share (Z:\...). Either way in display form.
    const std::string absolute = created["absolutePath"];
    EXPECT_FALSE(absolute.starts_with("\\\\?\\")) << absolute;
    if (!under_wine()) {
      EXPECT_EQ(absolute, vault + "\\sub\\new.md");
    }
    EXPECT_TRUE(read_file_text(absolute).ends_with("\n---\nmade"));
    EXPECT_EQ(ok_text(server.call_tool("search_notes", {{"query", "made"}})), "**new** (vault / sub/new.md)\nmade");
    EXPECT_EQ(ok_text(server.call_tool("open_note", {{"path", "sub/new.md"}})),
              "Opening " + vault + "\\sub\\new.md in tarnel");
    EXPECT_EQ(server.finish(), 0);
  }
  std::error_code ec;
  if (!made.empty()) std::filesystem::remove_all(made, ec);
}

TEST(WindowsNames, NamesWindowsRefusesGiveTheInvalidPathMessage) {
  TempDir dir;
  const std::string vault = dir.mkdir("vault");
  ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", vault}}));
  // The note's own name: the store's message for a name the platform refuses.
  for (const std::string name : {"a<b.md", "what?.md", "a|b.md", "CON.md", "sub/nul.md", "a:b.md"}) {
    std::string native = name;
    std::replace(native.begin(), native.end(), '/', '\\');
    EXPECT_EQ(error_text(server.call_tool("create_note", {{"path", name}, {"content", "x"}})),
              "Error: " + kInvalidPath + canonical(vault) + "\\" + native)
        << name;
  }
  // A folder's name: the folder cannot be made (error 123).
  EXPECT_EQ(error_text(server.call_tool("create_note", {{"path", "trailing./x.md"}, {"content", "x"}})),
            "Error: Failed to create folder " + canonical(vault) + "\\trailing.: " +
                platform::system_error(ERROR_INVALID_NAME).message());
  // Only the folder of sub/nul.md was made: missing folders come first.
  EXPECT_EQ(folder_names(vault), std::vector<std::string>{"sub"});
  EXPECT_EQ(folder_names(dir.path("vault/sub")), std::vector<std::string>{});
  EXPECT_EQ(server.finish(), 0);
}

// A device name in a note path opens the device, not a file: it is never
// read or written, and nothing waits on it.
TEST(WindowsNames, ADeviceNameInANotePathIsNeverUsed) {
  TempDir dir;
  const std::string vault = dir.mkdir("vault");
  dir.write("vault/a.md", "# A\nalpha");
  ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", vault}}));
  for (const std::string device : {"NUL", "nul"}) {
    const std::string path = dir.path("vault/" + device);
    EXPECT_EQ(error_text(server.call_tool("get_note", {{"path", path}})),
              "Error: Failed to resolve note " + path + ": Not a regular file");
    // The write tools make a path inside the vault relative first: in the
    // vault's canonical folder the name is no device, and no such note exists.
    for (const char* tool : {"update_note", "append_to_note"}) {
      EXPECT_EQ(error_text(server.call_tool(tool, {{"path", path}, {"content", "x"}})),
                "Error: File does not exist: " + canonical(path))
          << tool;
    }
  }
  // A device path outside the vault.
  for (const char* tool : {"get_note", "update_note", "append_to_note"}) {
    EXPECT_EQ(error_text(server.call_tool(tool, {{"path", "\\\\.\\NUL"}, {"content", "x"}})),
              "Error: Failed to resolve note \\\\.\\NUL: Not a regular file")
        << tool;
  }
  EXPECT_EQ(ok_text(server.call_tool("search_notes", {{"query", "alpha"}})), "**A** (vault / a.md)\n# A\nalpha");
  EXPECT_EQ(folder_names(vault), std::vector<std::string>{"a.md"});
  EXPECT_EQ(server.finish(), 0);
}

// Without XDG_CONFIG_HOME the registry lives in the roaming
// application-data folder. Every test process shares that folder: the
// development namespace, under the lock, and the file is removed after.
TEST(WindowsConfigRoot, WithoutXdgConfigHomeTheRegistryIsInTheRoamingFolder) {
  PlatformRootLock lock;
  TempDir dir;
  const std::string roaming = platform::config_root().value();
  const std::string folder = roaming + "\\com.tarnel.app.dev";
  const bool folder_existed = std::filesystem::exists(std::filesystem::path(platform::to_utf16(folder).value()));
  const std::string registry = folder + "\\vaults.json";
  const std::string vault = dir.mkdir("vault");
  for (const std::string xdg : {"", "relative\\config"}) {
    SCOPED_TRACE(xdg);
    EnvList env = isolated_env(dir.path(), {{"tarnel_app_config_namespace", "com.tarnel.app.dev"},
                                            {"XDG_CONFIG_HOME", xdg},
                                            {"USERPROFILE", platform::get_env("USERPROFILE").value_or("")}});
    if (xdg.empty()) std::erase_if(env, [](const auto& e) { return e.first == "XDG_CONFIG_HOME"; });
    ServerProcess server(env);
    EXPECT_EQ(ok_text(server.call_tool("attach_vault", {{"path", vault}})),
              "{\n  \"label\": \"vault\",\n  \"path\": " + Json(vault).dump() + "\n}");
    EXPECT_EQ(Json::parse(read_file_text(registry))["vaults"], Json::parse("[{\"label\": \"vault\", \"path\": " +
                                                                           Json(vault).dump() + "}]"));
    EXPECT_EQ(server.finish(), 0);
    std::filesystem::remove(std::filesystem::path(platform::to_utf16(registry).value()));
  }
  EXPECT_FALSE(dir.exists("config"));
  if (!folder_existed) std::filesystem::remove(std::filesystem::path(platform::to_utf16(folder).value()));
}

}  // namespace
