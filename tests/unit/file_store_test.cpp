#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "temp_dir.h"
#include "vault/file.h"

using vault::StoreAction;

namespace {

std::error_code err(int e) { return {e, std::generic_category()}; }

// A file system that fails chosen calls. Each hook returns the error to fail
// with, or nothing to let the real call run.
class FaultyFs : public platform::FileSystem {
 public:
  using Hook = std::function<std::optional<std::error_code>(const std::string&)>;
  Hook on_metadata, on_create_directories, on_open, on_rename;
  std::optional<std::error_code> write_error;  // fails every write after its first half
  int opens = 0, renames = 0, writes = 0;

  platform::Result<platform::FileInfo> metadata(const std::string& path) override {
    if (auto e = run(on_metadata, path)) return std::unexpected(*e);
    return FileSystem::metadata(path);
  }
  platform::Result<void> create_directories(const std::string& path) override {
    if (auto e = run(on_create_directories, path)) return std::unexpected(*e);
    return FileSystem::create_directories(path);
  }
  platform::Result<platform::File> open(const std::string& path, platform::OpenMode mode,
                                        std::uint32_t perms) override {
    ++opens;
    if (auto e = run(on_open, path)) return std::unexpected(*e);
    return FileSystem::open(path, mode, perms);
  }
  platform::Result<void> write_all(platform::File& file, std::string_view data) override {
    ++writes;
    if (!write_error) return FileSystem::write_all(file, data);
    if (auto half = FileSystem::write_all(file, data.substr(0, data.size() / 2)); !half) return half;
    return std::unexpected(*write_error);
  }
  platform::Result<void> rename(const std::string& from, const std::string& to) override {
    ++renames;
    if (auto e = run(on_rename, to)) return std::unexpected(*e);
    return FileSystem::rename(from, to);
  }

 private:
  static std::optional<std::error_code> run(const Hook& hook, const std::string& path) {
    return hook ? hook(path) : std::nullopt;
  }
};

// Fails the first `errors.size()` calls with those errors, in order.
FaultyFs::Hook failing_first(const std::vector<int>& errors) {
  auto calls = std::make_shared<std::size_t>(0);
  return [errors, calls](const std::string&) -> std::optional<std::error_code> {
    const std::size_t n = (*calls)++;
    return n < errors.size() ? std::optional(err(errors[n])) : std::nullopt;
  };
}

std::uint32_t mode_of(const std::string& path) {
  struct stat st{};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::string escape_bomb() { return std::string(600, '\\') + "*"; }

using Clock = std::chrono::steady_clock;

TEST(StoreFailureMessage, Forms) {
  struct Case {
    StoreAction action;
    std::string path;
    std::error_code error;
    std::string message;
  };
  const std::string invalid_tail =
      " note: the path is invalid on this platform. Rename the note or move it to a valid folder, then try again. "
      "Path: ";
  const Case cases[] = {
      {StoreAction::save, "/v/a.md", err(ENOENT), "Failed to save /v/a.md: No such file or directory"},
      {StoreAction::create, "/v/a.md", err(EACCES), "Failed to create /v/a.md: Permission denied"},
      {StoreAction::save, "/v/a.md", make_error_code(platform::Failure::write_zero),
       "Failed to save /v/a.md: failed to write whole buffer"},
      {StoreAction::save, "/v/a.md", err(EINVAL), "Failed to save" + invalid_tail + "/v/a.md"},
      {StoreAction::create, "/v/a.md", err(EINVAL), "Failed to create" + invalid_tail + "/v/a.md"},
      {StoreAction::create, std::string("/v/a\0b.md", 9), err(ENOENT),
       "Failed to create" + invalid_tail + std::string("/v/a\0b.md", 9)},
  };
  for (const auto& c : cases) EXPECT_EQ(vault::store_failure_message(c.action, c.path, c.error), c.message);
}

TEST(CreateNoteFile, CreatesMissingFoldersAndWritesExactBytes) {
  TempDir dir;
  const std::string content = "---\r\ntitle: A\r\n---\r\nno final line break \xF0\x9F\x93\x9D";
  ASSERT_TRUE(vault::create_new_note_file(dir.path("notes/new/a.md"), content));
  EXPECT_EQ(dir.read("notes/new/a.md"), content);
}

TEST(CreateNoteFile, Refusals) {
  TempDir dir;
  const std::string existing = dir.write("a.md", "keep me");
  const std::string locked = dir.write("locked.md", "locked");
  ::chmod(locked.c_str(), 0444);

  EXPECT_EQ(vault::create_new_note_file(existing, "new").error(), "File already exists: " + existing);
  EXPECT_EQ(dir.read("a.md"), "keep me");
  // The read-only refusal comes before the existence test.
  EXPECT_EQ(vault::create_new_note_file(locked, "new").error(), "File is read-only: " + locked);

  const std::string bomb_path = dir.path("bomb.md");
  EXPECT_EQ(vault::create_new_note_file(bomb_path, std::string(70000, '\n')).error(),
            "tarnel_tripwire: repeat-explosion {\"rule\":\"repeat-explosion\",\"bytes_before\":0,"
            "\"bytes_after\":70000,\"longest_run\":70000,\"runaway_escape_run\":0,\"old_longest_run\":0,"
            "\"old_runaway_escape_run\":0}");
  EXPECT_FALSE(dir.exists("bomb.md"));

  const std::string nul_name = dir.path("a") + std::string("\0b.md", 5);
  EXPECT_EQ(vault::create_new_note_file(nul_name, "x").error(),
            "Failed to create note: the path is invalid on this platform. Rename the note or move it to a valid "
            "folder, then try again. Path: " + nul_name);
  const std::string nul_folder = dir.path("f") + std::string("\0g/n.md", 7);
  EXPECT_EQ(vault::create_new_note_file(nul_folder, "x").error(),
            "Failed to create note: the path is invalid on this platform. Rename the note or move it to a valid "
            "folder, then try again. Path: " + nul_folder);
}

TEST(CreateNoteFile, InjectedFailures) {
  TempDir dir;
  const std::string path = dir.path("sub/n.md");
  struct Case {
    const char* name;
    std::function<void(FaultyFs&)> arrange;
    std::string message;
  };
  const Case cases[] = {
      {"folder creation fails", [](FaultyFs& f) { f.on_create_directories = failing_first({EACCES}); },
       "Failed to create " + path + ": Permission denied"},
      {"parent still missing", [&](FaultyFs& f) {
         f.on_metadata = [&](const std::string& p) { return p == dir.path("sub") ? std::optional(err(ENOENT)) : std::nullopt; };
       },
       "Parent directory does not exist: " + dir.path("sub")},
      {"name rejected by the platform", [](FaultyFs& f) { f.on_open = failing_first({EINVAL}); },
       "Failed to create note: the path is invalid on this platform. Rename the note or move it to a valid folder, "
       "then try again. Path: " + path},
      {"open fails", [](FaultyFs& f) { f.on_open = failing_first({EROFS}); },
       "Failed to create " + path + ": Read-only file system"},
      {"write fails halfway", [](FaultyFs& f) { f.write_error = err(ENOSPC); },
       "Failed to save " + path + ": No space left on device"},
      {"I/O error halfway", [](FaultyFs& f) { f.write_error = err(EIO); },
       "Failed to save " + path + ": Input/output error"},
  };
  for (const auto& c : cases) {
    FaultyFs faulty;
    c.arrange(faulty);
    {
      platform::ScopedFileSystem scope(faulty);
      const auto result = vault::create_new_note_file(path, "some content to write");
      ASSERT_FALSE(result) << c.name;
      EXPECT_EQ(result.error(), c.message) << c.name;
    }
    // Nothing is left that would make a second try fail with "File already exists".
    EXPECT_FALSE(dir.exists("sub/n.md")) << c.name;
    EXPECT_TRUE(vault::create_new_note_file(path, "second try")) << c.name;
    EXPECT_EQ(dir.read("sub/n.md"), "second try") << c.name;
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
}

TEST(SaveNoteFile, ReplacesContentAndKeepsPermissionBits) {
  TempDir dir;
  const std::string path = dir.write("n.md", "old content that is longer than the new one");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(vault::save_note_file(path, "new"));
  EXPECT_EQ(dir.read("n.md"), "new");
  EXPECT_EQ(mode_of(path), 0640u);
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  // A missing note (and folder) is created.
  ASSERT_TRUE(vault::save_note_file(dir.path("deep/er/m.md"), "made"));
  EXPECT_EQ(dir.read("deep/er/m.md"), "made");
}

TEST(SaveNoteFile, Refusals) {
  TempDir dir;
  const std::string locked = dir.write("locked.md", "locked");
  ::chmod(locked.c_str(), 0444);
  FaultyFs watch;
  {
    platform::ScopedFileSystem scope(watch);
    // Read-only comes before the tripwire and before any write.
    EXPECT_EQ(vault::save_note_file(locked, escape_bomb()).error(), "File is read-only: " + locked);
  }
  EXPECT_EQ(watch.opens, 0);
  EXPECT_EQ(dir.read("locked.md"), "locked");

  const std::string plain = dir.write("plain.md", "plain text without escapes");
  const auto refused = vault::save_note_file(plain, escape_bomb());
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().starts_with("tarnel_tripwire: escape-explosion {\"rule\":\"escape-explosion\","
                                          "\"bytes_before\":26,\"bytes_after\":601,"))
      << refused.error();
  EXPECT_EQ(dir.read("plain.md"), "plain text without escapes");

  // The previous version counts: a note that already had 400 escapes may grow to 799.
  const std::string escaped = dir.write("escaped.md", std::string(400, '\\') + "*" + std::string(200, 'x'));
  EXPECT_TRUE(vault::save_note_file(escaped, std::string(799, '\\') + "*"));
  // A previous text that is not UTF-8 does not count.
  const std::string binary = dir.write("binary.md", "\xFF" + std::string(400, '\\') + "*");
  EXPECT_FALSE(vault::save_note_file(binary, std::string(799, '\\') + "*"));

  const std::string nul_name = dir.path("n") + std::string("\0.md", 4);
  EXPECT_EQ(vault::save_note_file(nul_name, "x").error(),
            "Failed to save note: the path is invalid on this platform. Rename the note or move it to a valid "
            "folder, then try again. Path: " + nul_name);
}

TEST(SaveNoteFile, FailureLeavesNoteAndFolderUnchanged) {
  struct Case {
    const char* name;
    std::function<void(FaultyFs&)> arrange;
    std::string error;
  };
  const Case cases[] = {
      {"write fails halfway", [](FaultyFs& f) { f.write_error = err(ENOSPC); }, "No space left on device"},
      {"rename fails", [](FaultyFs& f) { f.on_rename = failing_first({EIO}); }, "Input/output error"},
      {"temporary file cannot be opened", [](FaultyFs& f) { f.on_open = failing_first({EDQUOT}); }, "Disk quota exceeded"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.write("n.md", "the old content");
    FaultyFs faulty;
    c.arrange(faulty);
    std::expected<void, std::string> result;
    {
      platform::ScopedFileSystem scope(faulty);
      result = vault::save_note_file(path, "the new content, which must never be seen half written");
    }
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), "Failed to save " + path + ": " + c.error) << c.name;
    EXPECT_EQ(dir.read("n.md"), "the old content") << c.name;
    EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"}) << c.name;
  }
}

TEST(SaveNoteFile, RetriesPermissionDenied) {
  TempDir dir;
  const std::string path = dir.write("n.md", "old");
  {
    FaultyFs faulty;
    faulty.on_rename = failing_first({EACCES, EPERM});
    platform::ScopedFileSystem scope(faulty);
    const auto start = Clock::now();
    EXPECT_TRUE(vault::save_note_file(path, "third time lucky"));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(75));
    EXPECT_EQ(faulty.renames, 3);
  }
  EXPECT_EQ(dir.read("n.md"), "third time lucky");
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  {
    FaultyFs faulty;
    faulty.on_rename = failing_first({EACCES, EACCES, EACCES, EACCES, EPERM, EACCES});
    platform::ScopedFileSystem scope(faulty);
    const auto start = Clock::now();
    const auto result = vault::save_note_file(path, "never written");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(375));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "Failed to save " + path + ": Operation not permitted");  // the fifth error
    EXPECT_EQ(faulty.renames, 5);
  }
  EXPECT_EQ(dir.read("n.md"), "third time lucky");
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  {
    FaultyFs faulty;  // other errors are not retried
    faulty.on_open = failing_first({ENOSPC});
    platform::ScopedFileSystem scope(faulty);
    EXPECT_FALSE(vault::save_note_file(path, "x"));
    EXPECT_EQ(faulty.opens, 1);
  }
}

TEST(SaveNoteFile, TemporaryNameIsSafe) {
  TempDir dir;
  const std::string path = dir.write("n.md", "old");
  const std::string temp = dir.path(".n.md.tarnel-save-" + std::to_string(::getpid()) + ".tmp");

  // A stale temporary file from a crashed save is replaced.
  dir.write(".n.md.tarnel-save-" + std::to_string(::getpid()) + ".tmp", "stale");
  ASSERT_TRUE(vault::save_note_file(path, "new"));
  EXPECT_EQ(dir.read("n.md"), "new");
  EXPECT_FALSE(dir.exists(temp.substr(dir.path().size() + 1)));

  // A link planted under the temporary name is never followed.
  TempDir outside;
  const std::string victim = outside.write("victim.txt", "untouched");
  ASSERT_EQ(::symlink(victim.c_str(), temp.c_str()), 0);
  ASSERT_TRUE(vault::save_note_file(path, "newer"));
  EXPECT_EQ(outside.read("victim.txt"), "untouched");
  EXPECT_EQ(dir.read("n.md"), "newer");

  // A name near the file-name limit still saves.
  std::string utf8_name;
  for (int i = 0; i < 82; ++i) utf8_name += "\u00e9";  // 164 bytes
  utf8_name += std::string(80, 'y') + ".md";           // 247 bytes
  const std::string long_path = dir.write(utf8_name, "old");
  ASSERT_TRUE(vault::save_note_file(long_path, "new"));
  EXPECT_EQ(dir.read(utf8_name), "new");
  EXPECT_EQ(folder_names(dir.path()).size(), 2u);
}

TEST(SaveNoteFile, ReadersNeverSeeAHalfWrittenNote) {
  TempDir dir;
  auto version = [](char tag) {
    std::string text;
    for (int line = 0; text.size() < (1 << 20); ++line) text += "version " + std::string(1, tag) + " line " + std::to_string(line) + "\n";
    return text;
  };
  const std::string a = version('a');
  const std::string b = version('b');
  const std::string path = dir.write("n.md", a);

  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string seen = read_file_text(path);
      if (seen != a && seen != b) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(vault::save_note_file(path, i % 2 == 0 ? b : a));
  while (reads.load() < 20) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

}  // namespace
