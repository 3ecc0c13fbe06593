// A vault that a second party changes underneath the server, and entries that
// are no regular files: no answer carries a byte from outside the vault, no
// call writes outside it, and nothing blocks on a FIFO or reads a device
// without end.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kOutside = "OUTSIDE-BYTES";

// Every file below `folder` with its content, by relative path.
std::map<std::string, std::string> tree(const TempDir& dir, const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& name : folder_names(dir.path(folder))) {
    const std::string relative = folder + "/" + name;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(std::filesystem::path(dir.path(relative))))) {
      for (auto& [path, content] : tree(dir, relative)) files[path] = content;
    } else {
      files[relative] = dir.read(relative);
    }
  }
  return files;
}

#ifndef _WIN32
// True for the failures a call that loses the race may give: the messages of
// a path that leads outside, of a name that is gone or is a link, and of a
// folder that was swapped while it was being listed.
bool lost_the_race(const std::string& message) {
  for (const char* expected : {"Error: Note path must stay inside the active vault", "Error: File does not exist: ",
                               "Error: File already exists: ", "Error: Failed to read directory "}) {
    if (message.starts_with(expected)) return true;
  }
  return message.find(": Too many levels of symbolic links") != std::string::npos ||
         message.find(": Not a directory") != std::string::npos;
}
#endif

TEST(HostileVault, AFolderSwappedForAnOutsideLinkNeverLeadsOutOfTheVault) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows cannot exchange two names at once (renameat2's RENAME_EXCHANGE), and wine makes no links";
#else
  TempDir dir;
  const std::string vault = dir.mkdir("vault");
  dir.write("vault/sub/note.md", "---\ntags: [inside]\n---\n# Inside\ninside text");
  dir.write("vault/top.md", "# Top\nthe vault's own note");
  dir.write("outside/note.md", std::string("---\ntags: [inside]\n---\n# Outside\n") + std::string(kOutside));
  dir.write("outside/other.md", std::string(kOutside));
  const auto outside_before = tree(dir, "outside");
  ASSERT_EQ(::symlink(dir.path("outside").c_str(), dir.path("vault/link").c_str()), 0);

  // The second party: exchanges vault/sub (a real folder) and vault/link (a
  // link to a folder outside) again and again.
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::thread swapper([&] {
    const std::string a = dir.path("vault/sub");
    const std::string b = dir.path("vault/link");
    while (!stop) {
      if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    }
  });

  ServerProcess server(isolated_env(dir.path(), {{"VAULT_PATH", vault}}));
  long calls = 0;
  long lost = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  for (int round = 0; Clock::now() < deadline; ++round) {
    const std::string fresh = "sub/new-" + std::to_string(round) + ".md";
    const std::pair<std::string, Json> requests[] = {
        {"get_note", {{"path", "sub/note.md"}}},
        {"create_note", {{"path", fresh}, {"content", "# New\ncreated by the agent"}}},
        {"update_note", {{"path", "sub/note.md"}, {"content", "---\ntags: [inside]\n---\n# Inside\nupdated"}}},
        {"append_to_note", {{"path", "sub/note.md"}, {"content", "\nappended"}}},
        {"search_notes", {{"query", ""}, {"tags", {"inside"}}, {"limit", 50}}},
        {"get_vault_context", Json::object()},
    };
    for (const auto& [tool, arguments] : requests) {
      const Json result = server.call_tool(tool, arguments);
      const std::string text = ServerProcess::result_text(result);
      ++calls;
      ASSERT_EQ(text.find(kOutside), std::string::npos) << tool << " answered with outside content:\n" << text;
      ASSERT_EQ(text.find("Outside"), std::string::npos) << tool << " answered with an outside title:\n" << text;
      if (result.value("isError", false)) {
        ++lost;
        EXPECT_TRUE(lost_the_race(text)) << tool << ": " << text;
      }
    }
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");

  // Nothing was created or changed outside, and the swaps really happened
  // while the server worked.
  EXPECT_EQ(tree(dir, "outside"), outside_before);
  EXPECT_GT(swaps.load(), 100);
  RecordProperty("calls", static_cast<int>(calls));
  RecordProperty("failed_calls", static_cast<int>(lost));
  RecordProperty("swaps", static_cast<int>(swaps.load()));
#endif
}

class NonRegularFiles : public ::testing::Test {
 protected:
  TempDir dir;
  std::string vault = dir.mkdir("vault");
  void SetUp() override { dir.write("vault/a.md", "# A\nalpha"); }
  EnvList env() const { return isolated_env(dir.path(), {{"VAULT_PATH", vault}}); }

  // Every note tool on `name` fails at once with its own failure message and
  // `error`, and the server still answers afterwards.
  void expect_refused_at_once(const std::string& name, const std::string& error) {
    ServerProcess server(env());
    const std::string path = dir.path("vault/" + name);
    const std::string big(600, 'x');
    const std::pair<std::string, Json> calls[] = {
        {"get_note", {{"path", name}}},
        {"update_note", {{"path", name}, {"content", "new"}}},
        {"update_note", {{"path", name}, {"content", big}}},
        {"append_to_note", {{"path", name}, {"content", "more"}}},
        {"append_to_note", {{"path", name}, {"content", big}}},
        {"search_notes", {{"query", "alpha"}}},
        {"get_vault_context", Json::object()},
    };
    const std::string expected[] = {
        "Error: Failed to read note " + path + ": " + error,    "Error: Failed to save " + path + ": " + error,
        "Error: Failed to save " + path + ": " + error, "Error: Failed to append to note " + path + ": " + error,
        "Error: Failed to append to note " + path + ": " + error, "Error: Failed to read note " + path + ": " + error,
        "Error: Failed to read note " + path + ": " + error,
    };
    // A call that waited on the entry would leave its answer missing.
    for (std::size_t i = 0; i < std::size(calls); ++i) {
      EXPECT_EQ(ServerProcess::error_text(server.call_tool(calls[i].first, calls[i].second)), expected[i])
          << calls[i].first;
    }
    EXPECT_EQ(server.request({{"jsonrpc", "2.0"}, {"id", 99}, {"method", "ping"}}),
              R"({"id":99,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.stderr_text(), "");
  }
};

// Windows has no FIFOs and no device nodes in folders: a device name in a
// note path is its counterpart there (tests/windows/paths_e2e.cpp).
#ifdef _WIN32
constexpr const char* kNoFifos = "Windows has no FIFOs or device nodes in folders";
#endif

TEST_F(NonRegularFiles, AFifoNamedLikeANoteIsRefusedAtOnce) {
#ifdef _WIN32
  GTEST_SKIP() << kNoFifos;
#else
  ASSERT_EQ(::mkfifo(dir.path("vault/pipe.md").c_str(), 0644), 0);
  expect_refused_at_once("pipe.md", "Not a regular file");
#endif
}

TEST_F(NonRegularFiles, ADeviceNamedLikeANoteIsNeverRead) {
#ifdef _WIN32
  GTEST_SKIP() << kNoFifos;
#else
  // The same device as /dev/zero, which reads without end.
  if (::mknod(dir.path("vault/zero.md").c_str(), S_IFCHR | 0666, makedev(1, 5)) != 0) {
    GTEST_SKIP() << "making a device node needs privileges this test process does not have";
  }
  expect_refused_at_once("zero.md", "Not a regular file");
#endif
}

TEST_F(NonRegularFiles, AFifoInPlaceOfTheRegistryIsAReadError) {
#ifdef _WIN32
  GTEST_SKIP() << kNoFifos;
#else
  const std::string folder = dir.mkdir("config/com.tarnel.app");
  ASSERT_EQ(::mkfifo((folder + "/vaults.json").c_str(), 0644), 0);
  ServerProcess server(isolated_env(dir.path()));
  EXPECT_EQ(ServerProcess::error_text(server.call_tool("list_vaults", Json::object())),
            "Error: Could not read tarnel vault registry: Not a regular file");
  EXPECT_EQ(ServerProcess::error_text(server.call_tool("attach_vault", {{"path", vault}})),
            "Error: Could not read tarnel vault registry: Not a regular file");
  EXPECT_EQ(server.finish(), 0);
#endif
}

}  // namespace
