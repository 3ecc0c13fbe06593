#include "server/vault_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/faulty_fs.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"

namespace server {

namespace {

using Op = FaultyFs::Op;
using namespace std::string_literals;

std::error_code err(int e) { return {e, std::generic_category()}; }

// HOME and XDG_CONFIG_HOME point into a fresh folder, so the registry lives at
// {dir}/xdg/com.tarnel.app/vaults.json (the second root is {dir}/home/.config).
class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() {
    env.set("HOME", dir.path("home"));
    env.set("XDG_CONFIG_HOME", dir.path("xdg"));
    env.unset("tarnel_app_config_namespace");
  }
  static constexpr const char* kRegistry = "xdg/com.tarnel.app/vaults.json";
  std::string registry_file() const { return dir.path(kRegistry); }
  std::string registry_text() const { return dir.read(kRegistry); }
  // The names in the registry's folder other than vaults.json.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names = folder_names(dir.path("xdg/com.tarnel.app"));
    std::erase(names, "vaults.json");
    return names;
  }
  static std::string temp_name() { return "vaults." + std::to_string(platform::process_id()) + ".tmp"; }

  TempDir dir;
  ScopedEnv env;
};

constexpr std::string_view kDefaultWritten =
    "{\n"
    "  \"active_vault\": null,\n"
    "  \"hidden_defaults\": [],\n"
    "  \"vaults\": []\n"
    "}\n";

std::string error_of(const std::expected<Json, std::string>& r) { return r ? "<ok: " + r->dump() + ">" : r.error(); }

// --- Keys and nesting -------------------------------------------------------------

TEST(RegistryKey, SlashesAndTrailingSeparators) {
  struct Case {
    std::string path, key;
  };
  const Case cases[] = {
      {"C:\\Notes\\", "C:/Notes"},  {"C:/Notes", "C:/Notes"}, {"C:\\", "C:"},         {"/", "/"},
      {"///", "/"},                 {"\\", "/"},              {"/home/u/N//", "/home/u/N"}, {"", ""},
      {"/a\xFF", "/a\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(registry_path_key(c.path), c.key) << c.path;
}

TEST(RegistryKey, NestingIgnoresCaseEqualityDoesNot) {
  struct Case {
    std::string parent, child;
    bool nested;
  };
  const Case cases[] = {
      {"C:/Notes", "C:/Notes/Sub", true},
      {"c:/notes", "C:/Notes/Sub", true},
      {"C:/Notes/", "C:/Notes\\Sub", true},
      {"C:/Notes", "C:/NotesX", false},
      {"C:/Notes", "C:/Notes", false},
      {"C:/Notes", "c:/notes", false},  // differ in case only: neither equal nor nested
      {"C:/Notes/Sub", "C:/Notes", false},
      {"/", "/home", false},  // a bare root strips to nothing
      {"", "/home", false},
      {"/\u00C9t\u00E9", "/\u00E9T\u00C9/x", true},
  };
  for (const auto& c : cases) EXPECT_EQ(registry_key_nested(c.parent, c.child), c.nested) << c.parent << " " << c.child;
}

// --- Reading ----------------------------------------------------------------------

TEST_F(RegistryTest, MissingFileReadsAsTheDefaultRegistry) {
  for (const std::string& file : {registry_file(), dir.path("no/such/folder/vaults.json")}) {
    const auto r = read_registry(file);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->dump(2) + "\n", kDefaultWritten);
  }
}

TEST_F(RegistryTest, BadContentFailsWithTheReadMessage) {
  struct Case {
    std::string content, message;
  };
  const Case cases[] = {
      {"", "Could not read tarnel vault registry: parse error at line 1, column 1: syntax error while parsing value - "
           "unexpected end of input; expected '[', '{', or a literal"},
      {"{\n  \"vaults\": [\n}", "Could not read tarnel vault registry: parse error at line 3, column 1: syntax error "
                                "while parsing value - unexpected '}'; expected '[', '{', or a literal"},
      {"{} x", "Could not read tarnel vault registry: parse error at line 1, column 4: syntax error while parsing "
               "value - invalid literal; last read: '{} x'; expected end of input"},
      {"\xEF\xBB\xBF{}", "Could not read tarnel vault registry: parse error at line 1, column 1: unexpected byte-order "
                         "mark"},
      {std::string(200, '[') + std::string(200, ']'),
       "Could not read tarnel vault registry: parse error: nesting deeper than 127 levels"},
      {"{\"n\": 1e999}", "Could not read tarnel vault registry: number overflow parsing '1e999'"},
      // The parser would stop at a NUL byte and take what comes before it.
      {"{}\0{\"vaults\": []}"s,
       "Could not read tarnel vault registry: parse error at line 1, column 3: unexpected NUL byte"},
      {"{\n  \"vaults\": []\n}\n\0"s,
       "Could not read tarnel vault registry: parse error at line 4, column 1: unexpected NUL byte"},
      {"[]", "Could not read tarnel vault registry: not an object"},
      {"\"vaults\"", "Could not read tarnel vault registry: not an object"},
      {"null", "Could not read tarnel vault registry: not an object"},
  };
  for (const auto& c : cases) {
    dir.write(kRegistry, c.content);
    EXPECT_EQ(error_of(read_registry(registry_file())), c.message) << c.content;
  }
}

TEST_F(RegistryTest, ReadErrorsCarryTheSystemText) {
  dir.mkdir(kRegistry);
  EXPECT_EQ(error_of(read_registry(registry_file())), "Could not read tarnel vault registry: Is a directory");

  FaultyFs denied;
  denied.fail(Op::open_file, registry_file(), err(EACCES));
  platform::ScopedFileSystem scope(denied);
  EXPECT_EQ(error_of(read_registry(registry_file())), "Could not read tarnel vault registry: Permission denied");
}

TEST_F(RegistryTest, ListMembersThatAreNotArraysBecomeEmpty) {
  dir.write(kRegistry, R"({"vaults": {"path": "/a"}, "hidden_defaults": "x", "active_vault": 3, "other": 1})");
  const auto r = read_registry(registry_file());
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, Json::parse(R"({"vaults": [], "hidden_defaults": [], "active_vault": 3, "other": 1})"));
}

// --- Writing ----------------------------------------------------------------------

TEST_F(RegistryTest, WrittenFormIsSortedPrettyJsonWithAFinalLineBreak) {
  ASSERT_TRUE(write_registry(registry_file(), *read_registry(registry_file())));
  EXPECT_EQ(registry_text(), kDefaultWritten);

  const Json registry = Json::parse(R"({
    "vaults": [{"path": "/v/\u00e9", "label": "tab\there", "zz": {"b": 1.0, "a": [1, 2.5, true]}}, 7],
    "hidden_defaults": [{}],
    "active_vault": "/v/\u00e9",
    "window": {"w": -3, "quote": "a \"b\" \\ c"}
  })");
  ASSERT_TRUE(write_registry(registry_file(), registry));
  EXPECT_EQ(registry_text(),
            "{\n"
            "  \"active_vault\": \"/v/\u00e9\",\n"
            "  \"hidden_defaults\": [\n"
            "    {}\n"
            "  ],\n"
            "  \"vaults\": [\n"
            "    {\n"
            "      \"label\": \"tab\\there\",\n"
            "      \"path\": \"/v/\u00e9\",\n"
            "      \"zz\": {\n"
            "        \"a\": [\n"
            "          1,\n"
            "          2.5,\n"
            "          true\n"
            "        ],\n"
            "        \"b\": 1.0\n"
            "      }\n"
            "    },\n"
            "    7\n"
            "  ],\n"
            "  \"window\": {\n"
            "    \"quote\": \"a \\\"b\\\" \\\\ c\",\n"
            "    \"w\": -3\n"
            "  }\n"
            "}\n");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(RegistryTest, WriteGoesThroughTheTemporarySibling) {
  struct RecordRenames : FaultyFs {
    std::vector<std::pair<std::string, std::string>> renames;
    platform::Result<void> rename_at(platform::Dir& folder, std::string_view from, std::string_view to) override {
      const std::string name = platform::native_fs().final_name(folder).value_or("<unnamed>");
      renames.emplace_back(name + kPathSeparator + std::string(from), name + kPathSeparator + std::string(to));
      return FaultyFs::rename_at(folder, from, to);
    }
  } fs;
  platform::ScopedFileSystem scope(fs);
  ASSERT_TRUE(write_registry(registry_file(), Json::object()));
  ASSERT_EQ(fs.renames.size(), 1u);
  EXPECT_EQ(fs.renames[0].first, canonical(dir.path("xdg/com.tarnel.app/" + temp_name())));
  EXPECT_EQ(fs.renames[0].second, canonical(registry_file()));
}

TEST_F(RegistryTest, FailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string old_text = "{\"vaults\":[{\"path\":\"/keep\",\"label\":\"keep\"}],\"extra\":true}";
  const std::string folder = dir.path("xdg/com.tarnel.app");
  // A failing write first lets half of its bytes reach the disk.
  struct Case {
    Op op;
    std::error_code error;
    std::string message;
  };
  const Case cases[] = {
      {Op::write, err(ENOSPC), "Failed to write " + folder + kPathSeparator + temp_name() + ": No space left on device"},
      {Op::sync, err(EIO), "Failed to write " + folder + kPathSeparator + temp_name() + ": Input/output error"},
      {Op::rename_at, err(EXDEV), "Failed to write " + registry_file() + ": " + err(EXDEV).message()},
  };
  for (const auto& c : cases) {
    dir.write(kRegistry, old_text);
    FaultyFs failing;
    failing.fail(c.op, "", c.error);
    platform::ScopedFileSystem scope(failing);
    const auto written = write_registry(registry_file(), Json{{"vaults", Json::array()}});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), c.message);
    EXPECT_EQ(registry_text(), old_text);
    EXPECT_TRUE(leftovers().empty());

    // A registration that fails the same way reports the same error and changes nothing.
    EXPECT_EQ(error_of(register_vault("/new", std::nullopt)), c.message);
    EXPECT_EQ(registry_text(), old_text);
    EXPECT_TRUE(leftovers().empty());
  }
}

// A clock that records the waits asked of it and returns at once.
class RecordingClock : public platform::Clock {
 public:
  void sleep_ms(unsigned ms) override { waits.push_back(ms); }
  std::vector<unsigned> waits;
};

// On Windows another program that has the registry open (the desktop
// application reading it) keeps it from being replaced for a moment.
TEST_F(RegistryTest, PermissionDeniedIsRetriedAsANoteSaveIs) {
  dir.write(kRegistry, "{}");
  for (const std::vector<int>& errors : {std::vector<int>{EACCES, EPERM}, std::vector<int>(5, EACCES)}) {
    FaultyFs failing;
    failing.hook = [&errors, calls = 0u](Op op, const std::string&) mutable -> std::optional<std::error_code> {
      if (op != Op::rename_at) return std::nullopt;
      return calls < errors.size() ? std::optional(err(errors[calls++])) : std::nullopt;
    };
    RecordingClock clock;
    platform::ScopedFileSystem scope(failing);
    platform::ScopedClock waits(clock);
    const auto written = write_registry(registry_file(), Json{{"vaults", Json::array({"x"})}});
    if (errors.size() < 5) {
      ASSERT_TRUE(written) << written.error();
      EXPECT_EQ(Json::parse(registry_text()), Json::parse(R"({"vaults": ["x"]})"));
      EXPECT_EQ(clock.waits, (std::vector<unsigned>{25, 50}));
    } else {
      ASSERT_FALSE(written);
      EXPECT_EQ(written.error(), "Failed to write " + registry_file() + ": Permission denied");
      EXPECT_EQ(registry_text(), "{}");
      EXPECT_EQ(clock.waits, (std::vector<unsigned>{25, 50, 100, 200}));
    }
    EXPECT_EQ(failing.count(Op::rename_at), static_cast<int>(std::min<std::size_t>(errors.size() + 1, 5)));
    EXPECT_TRUE(leftovers().empty());
    dir.write(kRegistry, "{}");
  }
}

TEST_F(RegistryTest, UncreatableFolderIsReported) {
  FaultyFs failing;
  failing.fail(Op::create_directories, "", err(EACCES));
  platform::ScopedFileSystem scope(failing);
  const auto written = write_registry(dir.path("new/folder/vaults.json"), Json::object());
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), "Failed to create " + dir.path("new/folder") + ": Permission denied");
}

// --- Registration -----------------------------------------------------------------

TEST_F(RegistryTest, FirstRegistrationWritesTheWholeRegistry) {
  const auto entry = register_vault("/home/u/Notes", std::nullopt);
  ASSERT_TRUE(entry) << entry.error();
  EXPECT_EQ(*entry, Json::parse(R"({"label": "Notes", "path": "/home/u/Notes"})"));
  EXPECT_EQ(registry_text(),
            "{\n"
            "  \"active_vault\": null,\n"
            "  \"hidden_defaults\": [],\n"
            "  \"vaults\": [\n"
            "    {\n"
            "      \"label\": \"Notes\",\n"
            "      \"path\": \"/home/u/Notes\"\n"
            "    }\n"
            "  ]\n"
            "}\n");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(RegistryTest, RegistrationKeepsEveryMemberItDoesNotUse) {
  dir.write(kRegistry,
            R"({"zeta": {"y": 2, "x": 1}, "vaults": [{"path": "/a", "pinned": true, "label": "A", "color": "red"},
                 {"path": 5, "label": "numeric"}, "just text"], "hidden_defaults": "odd", "active_vault": "/a"})");
  ASSERT_TRUE(register_vault("/b", "  Work  "));
  EXPECT_EQ(registry_text(), Json::parse(R"({
      "active_vault": "/a", "hidden_defaults": [], "zeta": {"x": 1, "y": 2},
      "vaults": [{"color": "red", "label": "A", "path": "/a", "pinned": true}, {"label": "numeric", "path": 5},
                 "just text", {"label": "Work", "path": "/b"}]})")
                                 .dump(2) +
                                 "\n");
}

TEST_F(RegistryTest, NonArrayVaultsAreReplacedByTheNewEntry) {
  for (const std::string vaults : {R"({"path": "/a"})", "12"}) {
    dir.write(kRegistry, R"({"vaults": )" + vaults + "}");
    ASSERT_TRUE(register_vault("/a/b", std::nullopt));  // the lost entry no longer nests
    EXPECT_EQ(Json::parse(registry_text())["vaults"], Json::parse(R"([{"label": "b", "path": "/a/b"}])")) << vaults;
  }
}

TEST_F(RegistryTest, SameKeyReturnsTheStoredEntryAndWritesNothing) {
  // Unsorted on disk: any rewrite would show.
  const std::string stored =
      R"({"vaults":[{"path":"C:/Notes","label":"Mine","extra":[1]}, {"path":"C:\\Notes","label":"Second"}]})";
  dir.write(kRegistry, stored);
  for (const std::string root : {"C:\\Notes\\", "C:/Notes", "C:/Notes//"}) {
    const auto entry = register_vault(root, "Other");
    ASSERT_TRUE(entry) << entry.error();
    EXPECT_EQ(*entry, Json::parse(R"({"path":"C:/Notes","label":"Mine","extra":[1]})")) << root;
    EXPECT_EQ(registry_text(), stored);
  }
}

TEST_F(RegistryTest, NestedRootsAreRefusedInBothDirections) {
  struct Case {
    std::string stored, root;
    bool refused;
  };
  const Case cases[] = {
      {"C:/Notes", "C:\\Notes\\Sub", true},
      {"c:\\notes\\sub", "C:\\Notes", true},
      {"C:\\Notes", "c:\\notes", false},  // keys differ in case only: a second entry
      {"C:\\Notes", "C:\\NotesX", false},
      {"/home/u/Notes", "/home/u/Notes/journal", true},
      {"/home/u/Notes/journal/", "/home/u/Notes", true},
      {"/home/u/Notes", "/home/u/Notes2", false},
  };
  for (const auto& c : cases) {
    // A duplicate later in the list does not save a nested root.
    const std::string stored = Json{{"vaults", Json::array({Json{{"path", c.stored}}, Json{{"path", c.root}}})}}.dump();
    dir.write(kRegistry, c.refused ? stored : Json{{"vaults", Json::array({Json{{"path", c.stored}}})}}.dump());
    const std::string before = registry_text();
    const auto entry = register_vault(c.root, std::nullopt);
    if (c.refused) {
      EXPECT_EQ(error_of(entry), "Vault path is inside registered vault or contains one: " + c.root) << c.root;
      EXPECT_EQ(registry_text(), before);
    } else {
      ASSERT_TRUE(entry) << c.root << ": " << entry.error();
      EXPECT_EQ(Json::parse(registry_text())["vaults"].size(), 2u) << c.root;
    }
  }
}

TEST_F(RegistryTest, LabelComesFromTheArgumentTheFolderNameOrTheKey) {
  struct Case {
    std::string root;
    std::optional<std::string> label;
    std::string expected;
  };
  const Case cases[] = {
      {"/v/Notes", "  My notes \t", "My notes"},
      {"/w/Notes/", "   ", "Notes"},
      {"/x/Journal", std::nullopt, "Journal"},
      {"/", std::nullopt, "/"},
      {"/y/..", std::nullopt, "/y/.."},
  };
  for (const auto& c : cases) {
    dir.write(kRegistry, "{}");
    const auto entry = register_vault(c.root, c.label);
    ASSERT_TRUE(entry) << entry.error();
    EXPECT_EQ((*entry)["label"], c.expected) << c.root;
    EXPECT_EQ((*entry)["path"], c.root);
  }
}

TEST_F(RegistryTest, RegistryReadFromTheSecondRootIsWrittenToTheFirst) {
  const std::string second = R"({"vaults": [{"path": "/old", "label": "old"}]})";
#ifdef _WIN32
  // The second root is the user's roaming folder, which every test process
  // shares: the development namespace there, one such test at a time.
  PlatformRootLock lock;
  env.set("tarnel_app_config_namespace", "com.tarnel.app.dev");
  const std::string second_file = platform::config_root().value() + "\\com.tarnel.app.dev\\vaults.json";
  const std::string first_file = dir.path("xdg/com.tarnel.app.dev/vaults.json");
#else
  const std::string second_file = dir.path("home/.config/com.tarnel.app/vaults.json");
  const std::string first_file = registry_file();
#endif
  write_file_text(second_file, second);
  const auto registered = register_vault("/new", std::nullopt);
  const std::string second_after = read_file_text(second_file);
  std::filesystem::remove(second_file);
  ASSERT_TRUE(registered) << registered.error();
  EXPECT_EQ(Json::parse(read_file_text(first_file))["vaults"],
            Json::parse(R"([{"path": "/old", "label": "old"}, {"path": "/new", "label": "new"}])"));
  EXPECT_EQ(second_after, second);
}

TEST_F(RegistryTest, UnreadableRegistryIsNeverRewritten) {
  for (const std::string& content :
       {"not json"s, "\xEF\xBB\xBF{}"s, "[]"s, "{\"vaults\": []}\0{\"vaults\": [{\"path\": \"/kept\"}]}"s}) {
    dir.write(kRegistry, content);
    EXPECT_TRUE(error_of(register_vault("/new", std::nullopt)).starts_with("Could not read tarnel vault registry: "));
    EXPECT_EQ(registry_text(), content);
    EXPECT_TRUE(leftovers().empty());
  }
}

TEST_F(RegistryTest, ActiveVaultIsTrimmedNonBlankText) {
  struct Case {
    std::string registry;
    std::optional<std::string> active;
  };
  const Case cases[] = {
      {R"({"active_vault": "  /v/Notes \n"})", "/v/Notes"},
      {R"({"active_vault": "   "})", std::nullopt},
      {R"({"active_vault": null})", std::nullopt},
      {R"({"active_vault": ["/v"]})", std::nullopt},
      {R"({})", std::nullopt},
  };
  for (const auto& c : cases) {
    dir.write(kRegistry, c.registry);
    const auto active = registry_active_vault();
    ASSERT_TRUE(active) << active.error();
    EXPECT_EQ(*active, c.active) << c.registry;
  }
  dir.write(kRegistry, "[]");
  EXPECT_EQ(registry_active_vault().error(), "Could not read tarnel vault registry: not an object");
}

// --- Active vault and arguments ----------------------------------------------------

class ActiveVaultTest : public RegistryTest {
 protected:
  static ToolService service(platform::EnvSnapshot env, std::optional<std::string> session = std::nullopt) {
    ToolService s(std::move(env), std::make_unique<UiNotifier>(1));
    s.session_vault = std::move(session);
    return s;
  }
};

constexpr const char* kNoVault = "VAULT_PATH is required. Open a vault in tarnel before starting MCP tools.";

TEST_F(ActiveVaultTest, SessionThenVaultPathThenRegistry) {
  dir.write(kRegistry, R"({"active_vault": "/registered"})");
  struct Case {
    platform::EnvSnapshot env;
    std::optional<std::string> session;
    std::string active;
  };
  const Case cases[] = {
      {{{"VAULT_PATH", "/env"}}, "/session", "/session"},
      {{{"VAULT_PATH", " \t/env/Notes \n"}}, std::nullopt, "/env/Notes"},
      {{{"VAULT_PATH", "/first"}, {"VAULT_PATH", "/second"}}, std::nullopt, "/first"},
      {{{"VAULT_PATH", "   "}, {"VAULT_PATH", "/second"}}, std::nullopt, "/registered"},  // the first entry decides
      {{{"vault_path", "/lower"}}, std::nullopt, "/registered"},
      {{}, std::nullopt, "/registered"},
  };
  for (const auto& c : cases) {
    const auto vaults = active_vaults(service(c.env, c.session));
    ASSERT_TRUE(vaults) << vaults.error();
    EXPECT_EQ(*vaults, std::vector<std::string>{c.active});
  }
}

TEST_F(ActiveVaultTest, VaultPathIsReadFromTheSnapshotOnly) {
  env.set("VAULT_PATH", "/live");
  EXPECT_EQ(active_vaults(service({})).error(), kNoVault);
}

TEST_F(ActiveVaultTest, NoVaultAnywhere) {
  EXPECT_EQ(active_vaults(service({})).error(), kNoVault);
  dir.write(kRegistry, R"({"active_vault": null, "vaults": [{"path": "/v"}]})");
  EXPECT_EQ(active_vaults(service({})).error(), kNoVault);
  dir.write(kRegistry, "{");
  EXPECT_TRUE(active_vaults(service({})).error().starts_with("Could not read tarnel vault registry: "));
}

TEST_F(ActiveVaultTest, VaultPathArgumentMustNameTheActiveVaultExactly) {
  const ToolService s = service({{"VAULT_PATH", "/v/Notes"}});
  struct Case {
    Json arguments;
    std::optional<std::string> vault;
    std::string error;
  };
  const Case cases[] = {
      {Json::object(), std::nullopt, ""},
      {Json::array(), std::nullopt, ""},
      {Json{{"vaultPath", 3}}, std::nullopt, ""},
      {Json{{"vaultPath", "  "}}, std::nullopt, ""},
      {Json{{"vaultPath", " /v/Notes "}}, "/v/Notes", ""},
      {Json{{"vaultPath", "/v/Notes/"}}, std::nullopt, "Vault is not active in tarnel: /v/Notes/"},
      {Json{{"vaultPath", " /v/notes\t"}}, std::nullopt, "Vault is not active in tarnel: /v/notes"},
      {Json{{"vaultPath", "/v/./Notes"}}, std::nullopt, "Vault is not active in tarnel: /v/./Notes"},
  };
  for (const auto& c : cases) {
    const auto r = vault_path_arg(s, c.arguments);
    if (c.error.empty()) {
      ASSERT_TRUE(r) << c.arguments << ": " << r.error();
      EXPECT_EQ(*r, c.vault) << c.arguments;
    } else {
      EXPECT_EQ(r ? "<ok>" : r.error(), c.error);
    }
  }
  EXPECT_EQ(vault_path_arg(service({}), Json{{"vaultPath", "/v"}}).error(), kNoVault);
}

TEST_F(ActiveVaultTest, WriteVault) {
  const ToolService s = service({{"VAULT_PATH", "/v/Notes"}});
  EXPECT_EQ(write_vault(s, Json{{"path", "a.md"}}), "/v/Notes");
  EXPECT_EQ(write_vault(s, Json{{"path", "/elsewhere/a.md"}}), "/v/Notes");  // refused later by the note operation
  EXPECT_EQ(write_vault(s, Json{{"vaultPath", "/v/Notes"}}), "/v/Notes");
  EXPECT_EQ(write_vault(s, Json{{"path", "  "}}).error(), "Note path is required");
  EXPECT_EQ(write_vault(s, Json{{"path", "a.md"}, {"vaultPath", "/w"}}).error(), "Vault is not active in tarnel: /w");
  EXPECT_EQ(write_vault(service({}), Json{{"path", "a.md"}}).error(), kNoVault);
}

TEST(NotePath, AbsolutePathsInsideTheVaultBecomeRelative) {
  constexpr paths::PathSyntax W = paths::PathSyntax::windows;
  constexpr paths::PathSyntax P = paths::PathSyntax::posix;
  struct Case {
    paths::PathSyntax syntax;
    std::string vault;
    Json path;
    std::string expected;
  };
  const Case cases[] = {
      {W, "C:\\Notes", "C:\\Notes\\Sub\\a.md", "Sub/a.md"},
      {W, "C:\\Notes", "c:\\Notes\\Sub\\a.md", "Sub/a.md"},
      {W, "C:\\Notes", "C:\\notes\\Sub\\a.md", "C:\\notes\\Sub\\a.md"},
      {W, "C:\\Notes", " C:/Notes/./a.md ", "a.md"},
      {W, "C:\\Notes", "C:\\Notes", "C:\\Notes"},
      {W, "C:\\Notes", "C:\\Notes\\..\\x.md", "C:\\Notes\\..\\x.md"},
      {W, "C:\\Notes", "Sub\\a.md", "Sub\\a.md"},
      {W, "C:\\Notes", "\\Notes\\a.md", "\\Notes\\a.md"},
      {W, "\\\\server\\share\\Notes", "//server/share/Notes/a.md", "a.md"},
      {W, "\\\\server\\share\\Notes", "\\\\SERVER\\share\\Notes\\a.md", "\\\\SERVER\\share\\Notes\\a.md"},
      {W, "\\\\?\\C:\\Notes", "\\\\?\\C:\\Notes\\Sub\\a.md", "Sub/a.md"},
      {W, "\\\\?\\C:\\Notes", "C:\\Notes\\a.md", "C:\\Notes\\a.md"},
      {W, "\\\\?\\UNC\\server\\share\\Notes", "\\\\?\\UNC\\server\\share\\Notes\\a.md", "a.md"},
      {P, "/v/Notes", "/v/Notes/Sub/a.md", "Sub/a.md"},
      {P, "/v/Notes/", "  /v/Notes//Sub/./a.md", "Sub/a.md"},
      {P, "/v/Notes", "/v/notes/a.md", "/v/notes/a.md"},
      {P, "/v/Notes", "/v/Notes", "/v/Notes"},
      {P, "/v/Notes", "/v/Notes/../x.md", "/v/Notes/../x.md"},
      {P, "/v/Notes", "Sub/../a.md", "Sub/../a.md"},
      {P, "/v/Notes", "C:\\Notes\\a.md", "C:\\Notes\\a.md"},
  };
  for (const auto& c : cases) {
    const auto r = resolve_note_path(Json{{"path", c.path}}, c.vault, c.syntax);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(*r, c.expected) << c.vault << " " << c.path;
  }
  for (const Json& arguments : {Json::object(), Json{{"path", "  "}}, Json{{"path", 1}}, Json("a.md")}) {
    EXPECT_EQ(resolve_note_path(arguments, "/v").error(), "Note path is required") << arguments;
  }
}

TEST_F(ActiveVaultTest, TargetPath) {
  const ToolService s = service({{"VAULT_PATH", "/v/Notes/"}});
  struct Case {
    Json arguments;
    std::string expected;
  };
  const Case cases[] = {
      {Json::object(), "/v/Notes/"},  // the vault root text exactly as held
      {Json{{"path", 7}}, "/v/Notes/"},
      {Json{{"path", "a/b.md"}}, "/v/Notes/a/b.md"},
      {Json{{"path", "../../../x.md"}}, "/x.md"},
      {Json{{"path", "  "}}, "/v/Notes/  "},  // untrimmed
      {Json{{"path", "/elsewhere/x.md"}}, "/elsewhere/x.md"},
      {Json{{"path", "a.md"}, {"vaultPath", "/v/Notes/"}}, "/v/Notes/a.md"},
  };
  // POSIX syntax on every platform; the Windows forms follow.
  constexpr paths::PathSyntax P = paths::PathSyntax::posix;
  for (const auto& c : cases) EXPECT_EQ(target_path(s, c.arguments, P), c.expected) << c.arguments;

  EXPECT_EQ(target_path(s, Json{{"path", "a.md"}, {"vaultPath", "/w"}}, P).error(), "Vault is not active in tarnel: /w");
  // An absolute path needs no vault at all.
  EXPECT_EQ(target_path(service({}), Json{{"path", "/x/y.md"}}, P), "/x/y.md");
  EXPECT_EQ(target_path(service({}), Json{{"path", "y.md"}}, P).error(), kNoVault);

  const ToolService windows = service({{"VAULT_PATH", "C:\\Notes"}});
  EXPECT_EQ(target_path(windows, Json{{"path", "..\\x.md"}}, paths::PathSyntax::windows), "C:\\x.md");
  EXPECT_EQ(target_path(windows, Json{{"path", "D:\\x.md"}}, paths::PathSyntax::windows), "D:\\x.md");
  EXPECT_EQ(target_path(windows, Json::object(), paths::PathSyntax::windows), "C:\\Notes");
}

}  // namespace

}  // namespace server
