#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/faulty_fs.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"
#include "vault_core/vault/file.h"

using vault::StoreAction;
using Op = FaultyFs::Op;

namespace {

std::error_code err(int e) { return {e, std::generic_category()}; }

// A note of an existing folder, the folder opened as the store's callers
// open it (by path, for reaching its entries).
struct NoteIn {
  NoteIn(const std::string& folder_path, std::string_view note_name)
      : folder(platform::native_fs().open_dir(folder_path, platform::DirUse::reach).value()),
        name(note_name),
        path(folder_path + kPathSeparator + name) {}
  vault::NoteTarget target() { return {folder, name, path}; }

  platform::Dir folder;
  std::string name;
  std::string path;
};

// Fails the first `errors.size()` calls of `failing` with those errors, in order.
FaultyFs::Hook failing_first(Op failing, const std::vector<int>& errors) {
  auto calls = std::make_shared<std::size_t>(0);
  return [failing, errors, calls](Op op, const std::string&) -> std::optional<std::error_code> {
    if (op != failing) return std::nullopt;
    const std::size_t n = (*calls)++;
    return n < errors.size() ? std::optional(err(errors[n])) : std::nullopt;
  };
}

// A clock that records the waits asked of it and returns at once.
class RecordingClock : public platform::Clock {
 public:
  void sleep_ms(unsigned ms) override { waits.push_back(ms); }
  std::vector<unsigned> waits;
};

#ifndef _WIN32
std::uint32_t mode_of(const std::string& path) {
  struct stat st{};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}
#endif

std::string escape_bomb() { return std::string(600, '\\') + "*"; }

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

TEST(CreateNoteFile, WritesExactBytes) {
  TempDir dir;
  NoteIn note(dir.mkdir("notes"), "a.md");
  const std::string content = "---\r\ntitle: A\r\n---\r\nno final line break \xF0\x9F\x93\x9D";
  ASSERT_TRUE(vault::create_new_note_file(note.target(), content));
  EXPECT_EQ(dir.read("notes/a.md"), content);
}

TEST(CreateNoteFile, Refusals) {
  TempDir dir;
  const std::string existing = dir.write("a.md", "keep me");
  const std::string locked = dir.write("locked.md", "locked");
  set_read_only(locked);

  NoteIn existing_note(dir.path(), "a.md");
  EXPECT_EQ(vault::create_new_note_file(existing_note.target(), "new").error(), "File already exists: " + existing);
  EXPECT_EQ(dir.read("a.md"), "keep me");
  // The read-only refusal comes before the existence test.
  NoteIn locked_note(dir.path(), "locked.md");
  EXPECT_EQ(vault::create_new_note_file(locked_note.target(), "new").error(), "File is read-only: " + locked);

  NoteIn bomb(dir.path(), "bomb.md");
  EXPECT_EQ(vault::create_new_note_file(bomb.target(), std::string(70000, '\n')).error(),
            "tarnel_tripwire: repeat-explosion {\"rule\":\"repeat-explosion\",\"bytes_before\":0,"
            "\"bytes_after\":70000,\"longest_run\":70000,\"runaway_escape_run\":0,\"old_longest_run\":0,"
            "\"old_runaway_escape_run\":0}");
  EXPECT_FALSE(dir.exists("bomb.md"));

  NoteIn nul_name(dir.path(), std::string("a\0b.md", 6));
  EXPECT_EQ(vault::create_new_note_file(nul_name.target(), "x").error(),
            "Failed to create note: the path is invalid on this platform. Rename the note or move it to a valid "
            "folder, then try again. Path: " + nul_name.path);
}

TEST(CreateNoteFile, InjectedFailures) {
  TempDir dir;
  NoteIn note(dir.mkdir("sub"), "n.md");
  const std::string& path = note.path;
  struct Case {
    const char* name;
    Op op;
    std::error_code error;
    std::string message;
  };
  const Case cases[] = {
      {"name rejected by the platform", Op::open_at, err(EINVAL),
       "Failed to create note: the path is invalid on this platform. Rename the note or move it to a valid folder, "
       "then try again. Path: " + path},
      {"open fails", Op::open_at, err(EROFS), "Failed to create " + path + ": Read-only file system"},
      {"write fails halfway", Op::write, err(ENOSPC), "Failed to save " + path + ": No space left on device"},
      {"I/O error halfway", Op::write, err(EIO), "Failed to save " + path + ": Input/output error"},
  };
  for (const auto& c : cases) {
    FaultyFs faulty;
    faulty.fail(c.op, dir.path("sub/n.md"), c.error);
    {
      platform::ScopedFileSystem scope(faulty);
      const auto result = vault::create_new_note_file(note.target(), "some content to write");
      ASSERT_FALSE(result) << c.name;
      EXPECT_EQ(result.error(), c.message) << c.name;
    }
    // Nothing is left that would make a second try fail with "File already exists".
    EXPECT_FALSE(dir.exists("sub/n.md")) << c.name;
    EXPECT_TRUE(vault::create_new_note_file(note.target(), "second try")) << c.name;
    EXPECT_EQ(dir.read("sub/n.md"), "second try") << c.name;
    ASSERT_TRUE(std::filesystem::remove(path));
  }
}

TEST(SaveNoteFile, ReplacesContentAndKeepsPermissionBits) {
  TempDir dir;
  const std::string path = dir.write("n.md", "old content that is longer than the new one");
#ifdef _WIN32
  // Windows has attributes where POSIX has permission bits: a hidden note stays hidden.
  const std::wstring wide = std::filesystem::path(path).wstring();
  ASSERT_TRUE(::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN));
#else
  ::chmod(path.c_str(), 0640);
#endif
  NoteIn note(dir.path(), "n.md");
  ASSERT_TRUE(vault::save_note_file(note.target(), "new"));
  EXPECT_EQ(dir.read("n.md"), "new");
#ifdef _WIN32
  EXPECT_EQ(::GetFileAttributesW(wide.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), DWORD{FILE_ATTRIBUTE_HIDDEN});
#else
  EXPECT_EQ(mode_of(path), 0640u);
#endif
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  // A missing note is created.
  NoteIn missing(dir.path(), "m.md");
  ASSERT_TRUE(vault::save_note_file(missing.target(), "made"));
  EXPECT_EQ(dir.read("m.md"), "made");
}

TEST(SaveNoteFile, Refusals) {
  TempDir dir;
  const std::string locked = dir.write("locked.md", "locked");
  set_read_only(locked);
  NoteIn locked_note(dir.path(), "locked.md");
  FaultyFs watch;
  {
    platform::ScopedFileSystem scope(watch);
    // Read-only comes before the tripwire and before any write.
    EXPECT_EQ(vault::save_note_file(locked_note.target(), escape_bomb()).error(), "File is read-only: " + locked);
  }
  EXPECT_EQ(watch.count(Op::open_at), 0);
  EXPECT_EQ(dir.read("locked.md"), "locked");

  dir.write("plain.md", "plain text without escapes");
  NoteIn plain(dir.path(), "plain.md");
  const auto refused = vault::save_note_file(plain.target(), escape_bomb());
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().starts_with("tarnel_tripwire: escape-explosion {\"rule\":\"escape-explosion\","
                                          "\"bytes_before\":26,\"bytes_after\":601,"))
      << refused.error();
  EXPECT_EQ(dir.read("plain.md"), "plain text without escapes");

  // The previous version counts: a note that already had 400 escapes may grow to 799.
  dir.write("escaped.md", std::string(400, '\\') + "*" + std::string(200, 'x'));
  NoteIn escaped(dir.path(), "escaped.md");
  EXPECT_TRUE(vault::save_note_file(escaped.target(), std::string(799, '\\') + "*"));
  // A previous text that is not UTF-8 does not count.
  dir.write("binary.md", "\xFF" + std::string(400, '\\') + "*");
  NoteIn binary(dir.path(), "binary.md");
  EXPECT_FALSE(vault::save_note_file(binary.target(), std::string(799, '\\') + "*"));

  NoteIn nul_name(dir.path(), std::string("n\0.md", 5));
  EXPECT_EQ(vault::save_note_file(nul_name.target(), "x").error(),
            "Failed to save note: the path is invalid on this platform. Rename the note or move it to a valid "
            "folder, then try again. Path: " + nul_name.path);
}

TEST(SaveNoteFile, FailureLeavesNoteAndFolderUnchanged) {
  struct Case {
    const char* name;
    Op op;
    std::error_code error;
    std::string text;
  };
  const Case cases[] = {
      {"write fails halfway", Op::write, err(ENOSPC), "No space left on device"},
      {"rename fails", Op::rename_at, err(EIO), "Input/output error"},
      {"temporary file cannot be opened", Op::open_at, err(EROFS), "Read-only file system"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.write("n.md", "the old content");
    NoteIn note(dir.path(), "n.md");
    FaultyFs faulty;
    faulty.fail(c.op, "", c.error);
    std::expected<void, std::string> result;
    {
      platform::ScopedFileSystem scope(faulty);
      result = vault::save_note_file(note.target(), "the new content, which must never be seen half written");
    }
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), "Failed to save " + path + ": " + c.text) << c.name;
    EXPECT_EQ(dir.read("n.md"), "the old content") << c.name;
    EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"}) << c.name;
  }
}

// The waits between attempts are asked of the clock, which here records them
// instead of sleeping.
TEST(SaveNoteFile, RetriesPermissionDenied) {
  TempDir dir;
  const std::string path = dir.write("n.md", "old");
  NoteIn note(dir.path(), "n.md");
  {
    FaultyFs faulty;
    faulty.hook = failing_first(Op::rename_at, {EACCES, EPERM});
    RecordingClock clock;
    platform::ScopedFileSystem scope(faulty);
    platform::ScopedClock waits(clock);
    EXPECT_TRUE(vault::save_note_file(note.target(), "third time lucky"));
    EXPECT_EQ(clock.waits, (std::vector<unsigned>{25, 50}));
    EXPECT_EQ(faulty.count(Op::rename_at), 3);
  }
  EXPECT_EQ(dir.read("n.md"), "third time lucky");
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  {
    FaultyFs faulty;
    faulty.hook = failing_first(Op::rename_at, {EACCES, EACCES, EACCES, EACCES, EPERM, EACCES});
    RecordingClock clock;
    platform::ScopedFileSystem scope(faulty);
    platform::ScopedClock waits(clock);
    const auto result = vault::save_note_file(note.target(), "never written");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "Failed to save " + path + ": Operation not permitted");  // the fifth error
    EXPECT_EQ(clock.waits, (std::vector<unsigned>{25, 50, 100, 200}));
    EXPECT_EQ(faulty.count(Op::rename_at), 5);
  }
  EXPECT_EQ(dir.read("n.md"), "third time lucky");
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  {
    FaultyFs faulty;  // other errors are not retried
    faulty.hook = failing_first(Op::open_at, {ENOSPC});
    RecordingClock clock;
    platform::ScopedFileSystem scope(faulty);
    platform::ScopedClock waits(clock);
    EXPECT_FALSE(vault::save_note_file(note.target(), "x"));
    EXPECT_EQ(faulty.count(Op::open_at), 1);
    EXPECT_TRUE(clock.waits.empty());
  }
}

TEST(SaveNoteFile, TemporaryNameIsSafe) {
  TempDir dir;
  dir.write("n.md", "old");
  NoteIn note(dir.path(), "n.md");
  const std::string temp_name = ".n.md.tarnel-save-" + std::to_string(platform::process_id()) + ".tmp";

  // A stale temporary file from a crashed save is replaced.
  dir.write(temp_name, "stale");
  ASSERT_TRUE(vault::save_note_file(note.target(), "new"));
  EXPECT_EQ(dir.read("n.md"), "new");
  EXPECT_FALSE(dir.exists(temp_name));

  // A name near the file-name limit still saves.
  std::string utf8_name;
  for (int i = 0; i < 82; ++i) utf8_name += "\u00e9";  // 164 bytes
  utf8_name += std::string(80, 'y') + ".md";           // 247 bytes
  dir.write(utf8_name, "old");
  NoteIn long_note(dir.path(), utf8_name);
  ASSERT_TRUE(vault::save_note_file(long_note.target(), "new"));
  EXPECT_EQ(dir.read(utf8_name), "new");
  EXPECT_EQ(folder_names(dir.path()).size(), 2u);

  // A link planted under the temporary name is never followed.
  TempDir outside;
  const std::string victim = outside.write("victim.txt", "untouched");
  if (!make_link(victim, dir.path(temp_name))) GTEST_SKIP() << "no symbolic link can be made here (wine makes none)";
  ASSERT_TRUE(vault::save_note_file(note.target(), "newer"));
  EXPECT_EQ(outside.read("victim.txt"), "untouched");
  EXPECT_EQ(dir.read("n.md"), "newer");
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
  NoteIn note(dir.path(), "n.md");

  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string seen = read_file_text(path);
      if (seen != a && seen != b) ++torn;
      ++reads;
#ifdef _WIN32
      // Windows replaces no file that a reader holds open (unless it has the
      // POSIX semantics of Windows 10, which wine lacks): the save retries
      // that refusal, and the pauses let it through.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
#endif
    }
  });
  for (int i = 0; i < 20; ++i) {
    const auto saved = vault::save_note_file(note.target(), i % 2 == 0 ? b : a);
    EXPECT_TRUE(saved) << saved.error();
  }
  while (reads.load() < 20) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

}  // namespace
