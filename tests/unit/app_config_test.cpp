#include "vault_core/app_config/app_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/faulty_fs.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"

namespace {

using Op = FaultyFs::Op;

std::error_code err(int e) { return {e, std::generic_category()}; }

// The separator of the paths that the configuration functions join.
#ifdef _WIN32
constexpr const char* kSep = "\\";
#else
constexpr const char* kSep = "/";
#endif

// HOME and XDG_CONFIG_HOME point into a fresh folder; the namespace variable
// is unset. The platform root is then $HOME/.config on POSIX; on Windows it
// is the roaming application-data folder, which the system also gives as
// %APPDATA% and which HOME does not move. Every test process shares that
// folder, so on Windows these tests work in the development namespace, one
// test at a time (PlatformRootLock), and remove what they left there.
class AppConfigTest : public ::testing::Test {
 protected:
  AppConfigTest() {
    env.set("HOME", home());
    env.set("XDG_CONFIG_HOME", xdg());
#ifdef _WIN32
    env.set("tarnel_app_config_namespace", "com.tarnel.app.dev");
#else
    env.unset("tarnel_app_config_namespace");
#endif
    platform_folder_existed = std::filesystem::exists(platform_root() + kSep + ns());
  }
  ~AppConfigTest() override {
    // What the test made under the platform root: its file, and the namespace
    // folder when it did not exist before.
    std::error_code ec;
    std::filesystem::remove(file_in(platform_root()), ec);
    if (!platform_folder_existed) std::filesystem::remove(platform_root() + kSep + ns(), ec);
  }
  std::string home() const { return dir.path("home"); }
  std::string xdg() const { return dir.path("xdg"); }
#ifdef _WIN32
  std::string platform_root() const { return platform::get_env("APPDATA").value_or("<no APPDATA>"); }
  static std::string ns() { return "com.tarnel.app.dev"; }
#else
  std::string platform_root() const { return home() + "/.config"; }
  static std::string ns() { return "com.tarnel.app"; }
#endif
  static std::string file_in(const std::string& root) { return root + kSep + ns() + kSep + "vaults.json"; }
  // Writes the registry under the platform root.
  void write_in_platform_root(std::string_view content) const { write_file_text(file_in(platform_root()), content); }

  PlatformRootLock lock;
  TempDir dir;
  ScopedEnv env;
  bool platform_folder_existed = false;
};

TEST_F(AppConfigTest, PolicyIsCompiledInByteForByte) {
  const std::string source = read_file_text(TARNEL_SOURCE_DIR "/vault_core/app_config/app-config-policy.json");
  EXPECT_EQ(app_config::policy_text(), source);
  EXPECT_EQ(app_config::policy().current_namespace, "com.tarnel.app");
  EXPECT_EQ(app_config::policy().development_namespace, "com.tarnel.app.dev");
}

TEST_F(AppConfigTest, NamespaceIsDevelopmentOnlyForItsExactName) {
  struct Case {
    std::optional<std::string> value;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, "com.tarnel.app"},
      {"com.tarnel.app.dev", "com.tarnel.app.dev"},
      {" com.tarnel.app.dev ", "com.tarnel.app.dev"},
      {"\u3000com.tarnel.app.dev\t\n", "com.tarnel.app.dev"},
      {"COM.TARNEL.APP.DEV", "com.tarnel.app"},
      {"com.tarnel.app", "com.tarnel.app"},
      {"com.tarnel.app.dev2", "com.tarnel.app"},
      {"true", "com.tarnel.app"},
      {"", "com.tarnel.app"},
  };
  for (const auto& c : cases) {
    ScopedEnv local;
    if (c.value) {
      local.set("tarnel_app_config_namespace", *c.value);
    } else {
      local.unset("tarnel_app_config_namespace");
    }
    EXPECT_EQ(app_config::config_namespace(), c.expected) << (c.value ? *c.value : "<unset>");
    EXPECT_EQ(app_config::config_file_path("/cfg", "vaults.json"),
              std::string("/cfg") + kSep + c.expected + kSep + "vaults.json");
  }
}

TEST_F(AppConfigTest, RootsPreferAnAbsoluteXdgConfigHome) {
  struct Case {
    std::optional<std::string> xdg;
    std::vector<std::string> roots;
  };
  std::vector<Case> cases = {
      {xdg(), {xdg(), platform_root()}},
      {std::nullopt, {platform_root()}},
      {"", {platform_root()}},
      {"xdg", {platform_root()}},  // relative: ignored
      {platform_root() + "/", {platform_root() + "/"}},  // equal to the platform root: one root, kept as given
  };
#ifdef _WIN32
  // Windows path rules: both slashes separate, only the drive letter ignores
  // case, a path without a drive or share is not absolute.
  std::string root = platform_root(), forward = root, lower_drive = root, dotted = root, upper_leaf = root;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  lower_drive[0] = static_cast<char>(std::tolower(lower_drive[0]));
  const std::size_t leaf = root.find_last_of('\\');
  dotted.insert(leaf, "\\.");
  for (std::size_t i = leaf + 1; i < upper_leaf.size(); ++i) {
    upper_leaf[i] = static_cast<char>(std::toupper(upper_leaf[i]));
  }
  cases.push_back({forward, {forward}});
  cases.push_back({lower_drive, {lower_drive}});
  cases.push_back({dotted, {dotted}});
  cases.push_back({upper_leaf, {upper_leaf, root}});
  cases.push_back({"/posix/style", {root}});
  cases.push_back({root.substr(0, 2) + "relative", {root}});
  cases.push_back({"\\\\server\\share\\cfg", {"\\\\server\\share\\cfg", root}});
#else
  cases.push_back({home() + "/./.config", {home() + "/./.config"}});
  cases.push_back({home() + "/.Config", {home() + "/.Config", platform_root()}});
#endif
  for (const auto& c : cases) {
    ScopedEnv local;
    if (c.xdg) {
      local.set("XDG_CONFIG_HOME", *c.xdg);
    } else {
      local.unset("XDG_CONFIG_HOME");
    }
    const auto roots = app_config::config_roots();
    ASSERT_TRUE(roots) << roots.error();
    EXPECT_EQ(*roots, c.roots) << (c.xdg ? *c.xdg : "<unset>");
  }
}

TEST_F(AppConfigTest, FirstReadCreatesTheNamespaceFolderAndLeavesNoProbe) {
  const auto read = app_config::config_read_path("vaults.json");
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, file_in(xdg()));
  EXPECT_EQ(app_config::config_write_path("vaults.json"), file_in(xdg()));

  EXPECT_TRUE(dir.exists("xdg/" + ns()));
  EXPECT_EQ(folder_names(dir.path("xdg/" + ns())), std::vector<std::string>{});
  EXPECT_FALSE(dir.exists("home/.config")) << "the second root is not probed once the first passes";
}

TEST_F(AppConfigTest, ExistingFileUnderSecondRootIsReadWhileTheFirstIsWritten) {
  write_in_platform_root("{}");
  EXPECT_EQ(app_config::config_write_path("vaults.json"), file_in(xdg()));
  EXPECT_EQ(app_config::config_read_path("vaults.json"), file_in(platform_root()));
}

TEST_F(AppConfigTest, UnwritableFileUnderFirstRootMovesTheWriteToTheSecond) {
  dir.write("xdg/" + ns() + "/vaults.json", "{}");
  // The file cannot be opened for writing in place, as a read-only file could not.
  FaultyFs denied;
  denied.fail(Op::open_file, file_in(xdg()), err(EACCES));
  platform::ScopedFileSystem scope(denied);

  // The second root has no file: it passes its probe, but the only existing file is read.
  EXPECT_EQ(app_config::config_write_path("vaults.json"), file_in(platform_root()));
  EXPECT_EQ(app_config::config_read_path("vaults.json"), file_in(xdg()));

  // Once the second root has the file, both locations are there.
  write_in_platform_root("{}");
  EXPECT_EQ(app_config::config_write_path("vaults.json"), file_in(platform_root()));
  EXPECT_EQ(app_config::config_read_path("vaults.json"), file_in(platform_root()));
}

TEST_F(AppConfigTest, FolderInPlaceOfTheFileIsNotWritable) {
  dir.mkdir("xdg/" + ns() + "/vaults.json");
  EXPECT_EQ(app_config::config_write_path("vaults.json"), file_in(platform_root()));
  EXPECT_EQ(app_config::config_read_path("vaults.json"), file_in(xdg()));
}

TEST_F(AppConfigTest, NoWritableRootFallsBackToTheFirst) {
  FaultyFs no_folders;
  no_folders.fail(Op::create_directories, "", err(EROFS));
  platform::ScopedFileSystem scope(no_folders);
  EXPECT_EQ(app_config::config_write_path("vaults.json"), file_in(xdg()));
  EXPECT_EQ(app_config::config_read_path("vaults.json"), file_in(xdg()));
}

TEST_F(AppConfigTest, ProbeNamesCountUpEvenAfterAFailedProbe) {
  // A probe is the only file the calls below open.
  std::vector<std::string> created;
  std::vector<std::string> removed;
  bool fail_next = false;
  FaultyFs fs;
  fs.hook = [&](Op op, const std::string& path) -> std::optional<std::error_code> {
    if (op == Op::open_file) {
      created.push_back(path);
      if (std::exchange(fail_next, false)) return err(EACCES);
    }
    if (op == Op::remove_file) removed.push_back(path);
    return std::nullopt;
  };
  platform::ScopedFileSystem scope(fs);

  const std::string folder = dir.path("a/b");
  EXPECT_TRUE(app_config::probe_writable_dir(folder));
  fail_next = true;
  EXPECT_FALSE(app_config::probe_writable_dir(folder));
  EXPECT_TRUE(app_config::probe_writable_dir(folder));

  ASSERT_EQ(created.size(), 3u);
  const std::string stem = folder + kSep + ".tarnel-write-probe-" + std::to_string(platform::process_id()) + "-";
  ASSERT_TRUE(created[0].starts_with(stem)) << created[0];
  const unsigned long first = std::stoul(created[0].substr(stem.size()));
  for (std::size_t i = 0; i < created.size(); ++i) EXPECT_EQ(created[i], stem + std::to_string(first + i));
  EXPECT_EQ(removed, (std::vector<std::string>{created[0], created[2]}));
  EXPECT_FALSE(dir.exists(created[0].substr(dir.path().size() + 1)));
}

TEST_F(AppConfigTest, DevelopmentNamespaceLocatesItsOwnFolder) {
  env.set("tarnel_app_config_namespace", " com.tarnel.app.dev ");
  dir.write("xdg/com.tarnel.app/vaults.json", "{}");  // the other namespace's file does not count
  EXPECT_EQ(app_config::config_read_path("vaults.json"), xdg() + kSep + "com.tarnel.app.dev" + kSep + "vaults.json");
  EXPECT_TRUE(dir.exists("xdg/com.tarnel.app.dev"));
}

}  // namespace
