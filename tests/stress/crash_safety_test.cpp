// Crash safety through the real binary: 200 times the server is killed with
// SIGKILL at a random moment while it saves a large note again and again. Whatever the moment, the
// note holds one complete version, and what an interrupted save leaves behind
// is hidden from every listing and never stops a later save.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Json = nlohmann::json;

std::string update_request(int id, const std::string& content) {
  return Json{{"jsonrpc", "2.0"},
              {"id", id},
              {"method", "tools/call"},
              {"params", {{"name", "update_note"}, {"arguments", {{"path", "big.md"}, {"content", content}}}}}}
      .dump();
}

// Reports files created in one folder whose names start with a prefix, one
// creation at a time: a read that brings several creations keeps the rest for
// the next waits.
class CreationWatch {
 public:
  CreationWatch(const std::string& folder, std::string prefix)
      : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), prefix_(std::move(prefix)) {
    if (fd_ < 0 || ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE) < 0) ADD_FAILURE() << "inotify failed";
  }
  ~CreationWatch() { ::close(fd_); }
  CreationWatch(const CreationWatch&) = delete;
  CreationWatch& operator=(const CreationWatch&) = delete;

  // Forgets every creation so far that no wait has taken.
  void forget() {
    while (read_events() > 0) {
    }
    pending_ = 0;
  }
  // Waits for the next creation.
  bool wait_for(int timeout_ms) {
    struct pollfd p{fd_, POLLIN, 0};
    while (pending_ == 0) {
      if (::poll(&p, 1, timeout_ms) <= 0) return false;
      read_events();
    }
    --pending_;
    return true;
  }

 private:
  // Reads the events waiting, counting the creations; the bytes read.
  ssize_t read_events() {
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::string_view(event->name).starts_with(prefix_)) ++pending_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return n;
  }

  int fd_;
  std::string prefix_;
  int pending_ = 0;
};

TEST(CrashSafety, KilledDuringSavesTheNoteIsAlwaysOneWholeVersion) {
  TempDir dir;
  // Four versions of about 64 KB that differ from their first line on.
  std::vector<std::string> versions;
  for (int v = 0; v < 4; ++v) {
    std::string text = "# Version " + std::to_string(v) + "\n";
    for (int line = 0; text.size() < std::size_t{64} * 1024; ++line) {
      text += "version " + std::to_string(v) + " line " + std::to_string(line) + " of the big note\n";
    }
    versions.push_back(std::move(text));
  }
  dir.write("vault/big.md", versions[0]);
  const EnvList env = isolated_env(dir.path(), {{"VAULT_PATH", dir.path("vault")}});
  CreationWatch watch(dir.path("vault"), ".big.md.tarnel-save-");

  // Each round starts a server and asks for two saves in a row; it kills
  // the server a random moment (up to 3 ms, a quarter of the rounds at once)
  // after the first or the second save created its temporary file: before,
  // during or after its writing, flushing and renaming, or between saves.
  std::mt19937 random(20240501);
  std::set<std::size_t> seen;
  for (int round = 0; round < 200; ++round) {
    watch.forget();  // the saves of the round before
    ServerProcess server(env);
    std::thread writer([&] {
      for (int save = 0; save < 2; ++save) {
        server.send_line(update_request(save, versions[(2 * round + save + 1) % versions.size()]));
      }
    });
    const int saves_before_kill = 1 + static_cast<int>(random() % 2);
    bool started = true;
    for (int save = 0; save < saves_before_kill && started; ++save) {
      started = watch.wait_for(10000);
    }
    if (random() % 4 != 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(server.pid(), SIGKILL);
    writer.join();  // a write after the kill fails at once
    EXPECT_EQ(server.finish(), 128 + SIGKILL);
    ASSERT_TRUE(started) << "round " << round << ": no save began";

    const std::string note = dir.read("vault/big.md");
    bool whole = false;
    for (std::size_t v = 0; v < versions.size(); ++v) {
      if (note == versions[v]) {
        whole = true;
        seen.insert(v);
      }
    }
    ASSERT_TRUE(whole) << "round " << round << ": the note holds " << note.size() << " bytes of no version";
  }
  EXPECT_GT(seen.size(), 1u) << "no save ever completed before its kill";

  // An interrupted save leaves at most a hidden temporary file, which no
  // walk lists.
  std::size_t leftovers = 0;
  for (const std::string& name : folder_names(dir.path("vault"))) {
    if (name == "big.md") continue;
    ++leftovers;
    EXPECT_TRUE(name.starts_with(".big.md.tarnel-save-") && name.ends_with(".tmp")) << name;
  }
  EXPECT_GT(leftovers, 0u) << "no kill landed inside a save";
  RecordProperty("interrupted_saves", static_cast<int>(leftovers));

  // A later server saves over it all, even when a stale temporary file
  // carries its own process id.
  ServerProcess server(env);
  dir.write("vault/.big.md.tarnel-save-" + std::to_string(server.pid()) + ".tmp", "stale half of a save");
  const Json saved = server.call_tool("update_note", {{"path", "big.md"}, {"content", versions[3]}});
  EXPECT_FALSE(saved.contains("isError")) << saved.dump();
  EXPECT_EQ(dir.read("vault/big.md"), versions[3]);
  EXPECT_FALSE(dir.exists("vault/.big.md.tarnel-save-" + std::to_string(server.pid()) + ".tmp"));
  const Json context = Json::parse(ServerProcess::result_text(server.call_tool("get_vault_context", Json::object())));
  EXPECT_EQ(context["noteCount"], 1);
  EXPECT_EQ(server.finish(), 0);
  EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
