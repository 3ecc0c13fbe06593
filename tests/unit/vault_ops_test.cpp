// The pure pieces of the note operations (titles, snippets, numbers in
// messages, modification times, file failure messages) and the failures of
// the operations that only a faulty file system can provoke.
#include "server/vault_ops.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/faulty_fs.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/fs.h"

namespace server {

namespace {

using Op = FaultyFs::Op;

std::error_code err(int e) { return {e, std::generic_category()}; }

TEST(NoteTitle, FirstHeadingThenFirstTitleLineThenStem) {
  struct Case {
    std::string text;
    std::string title;
  };
  const Case cases[] = {
      {"# Title\nbody", "Title"},
      {"intro\n#  Spaced \t\n# Second", "Spaced"},
      {"# Title\r\nbody", "Title"},
      {"# \u3000Wide\u3000\n", "Wide"},
      // Only the first "# " line counts, even when its rest is blank.
      {"# \n# Second", "stem"},
      {"# \t\n_title: From line\n# Second", "From line"},
      // "#" alone is too short and "#x" lacks the space: neither is a heading.
      {"#\n#Title\n# Real", "Real"},
      {" # Indented", "stem"},
      // A YAML comment in the frontmatter is a heading line like any other.
      {"---\n# draft\nstatus: x\n---\nbody", "draft"},
      // The heading wins over an earlier title line.
      {"_title: Line\n# Heading", "Heading"},
      // The title line is taken as written, quotes included; only the first counts.
      {"_title: 'Quoted'\n", "'Quoted'"},
      {"_title: First\n_title: Second", "First"},
      {"_title:   \n_title: Second", "stem"},
      {"  _title: x", "stem"},
      {"_title:x", "x"},
      {"", "stem"},
      {"no heading at all", "stem"},
  };
  for (const auto& c : cases) EXPECT_EQ(note_title(c.text, "stem"), c.title) << c.text;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(MakeSnippet, WindowAroundTheFirstMatchOfTheBody) {
  const std::string at41 = "b" + std::string(40, 'a') + "zz" + std::string(80, 'c');  // exactly i + m + 80
  struct Case {
    std::string name;
    std::string text;
    std::string needle;
    std::string snippet;
  };
  const Case cases[] = {
      {"match at 10 starts at the body's start", "0123456789needle and the rest", "needle",
       "0123456789needle and the rest"},
      {"match at 40 still starts at the body's start", std::string(40, 'a') + "zz tail", "zz",
       std::string(40, 'a') + "zz tail"},
      {"match at 41 starts one character in, after an ellipsis", at41, "zz", "..." + at41.substr(1)},
      {"a body one longer than i + m + 80 is cut", at41 + "d", "zz", "..." + at41.substr(1) + "..."},
      {"80 characters after the match", "x" + std::string(100, 'y'), "x", "x" + std::string(80, 'y') + "..."},
      {"the match is found in lower case, shown as written", "Hello WORLD", "world", "Hello WORLD"},
      {"characters, not bytes", repeat("é", 50) + "x" + repeat("ü", 90), "x",
       "..." + repeat("é", 40) + "x" + repeat("ü", 80) + "..."},
      {"the body after the frontmatter, trimmed", "---\ntitle: needle\n---\n\n  Body needle here \n", "needle",
       "Body needle here"},
      {"a lenient opening line", "--- notes\nx\n---\n\n  Body", "body", "Body"},
      {"an unclosed block is part of the body", "---\nfoo needle", "needle", "---\nfoo needle"},
      {"no match: the first 120 characters, no ellipsis", std::string(130, 'q'), "zz", std::string(120, 'q')},
      {"no match in a short body", "  short body\n", "zz", "short body"},
      {"a needle only in the frontmatter is not in the body", "---\ntitle: needle\n---\nplain", "needle", "plain"},
      {"the empty needle: the first 80 characters", std::string(81, 'r'), "", std::string(80, 'r') + "..."},
      {"the empty needle on a body of 80", std::string(80, 'r'), "", std::string(80, 'r')},
      {"the empty body", "---\na: 1\n---\n", "", ""},
      // U+0130 lower-cases to two characters: the positions found in the
      // lower-cased body run past the body and are clamped to it.
      {"lower-casing that lengthens the body", repeat("\u0130", 50) + "x", "x", "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(make_snippet(c.text, c.needle), c.snippet) << c.name;
}

TEST(PlainDecimal, ShortestRoundTripWithoutExponent) {
  struct Case {
    double value;
    std::string text;
  };
  const Case cases[] = {
      {100, "100"},
      {100.5, "100.5"},
      {-3, "-3"},
      {0.1, "0.1"},
      {1700000000000.5, "1700000000000.5"},
      {1699999999900.0, "1699999999900"},
      {1700000000123.4567, "1700000000123.4568"},
      {1.5e-7, "0.00000015"},
      {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {-2.5e-3, "-0.0025"},
      {0.0, "0"},
      {123.0, "123"},
      {12.5, "12.5"},
      {9007199254740993.0, "9007199254740992"},
      {1e300, "1" + std::string(300, '0')},
      {std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"},
  };
  for (const auto& c : cases) EXPECT_EQ(plain_decimal(c.value), c.text) << c.text;
}

TEST(MtimeMs, MillisecondsWithTheFractionKept) {
  auto at = [](std::int64_t sec, std::uint32_t nsec) {
    platform::FileInfo info;
    info.mtime_sec = sec;
    info.mtime_nsec = nsec;
    return mtime_ms(info);
  };
  EXPECT_EQ(at(1700000000, 500000), 1700000000000.5);
  EXPECT_EQ(at(1700000000, 0), 1700000000000.0);
  EXPECT_EQ(at(1, 123456789), 1000 + 123456789 / 1e6);
  EXPECT_EQ(at(0, 0), 0.0);
  // Before the epoch: 0.
  EXPECT_EQ(at(-1, 999999999), 0.0);
  EXPECT_EQ(at(std::numeric_limits<std::int64_t>::min(), 0), 0.0);
  // Seconds whose milliseconds do not fit in 64 bits are still counted exactly.
  EXPECT_EQ(at(std::numeric_limits<std::int64_t>::max(), 0), 9223372036854775807000.0);
}

TEST(FileFailureMessage, NotFoundAndExistsHaveTheirOwnWords) {
  struct Case {
    std::error_code error;
    std::string message;
  };
  const Case cases[] = {
      {err(ENOENT), "File does not exist: /v/a.md"},
      {err(EEXIST), "File already exists: /v/a.md"},
      {err(EACCES), "Failed to read note /v/a.md: Permission denied"},
      {err(ENOTDIR), "Failed to read note /v/a.md: Not a directory"},
      {make_error_code(platform::Failure::invalid_utf8),
       "Failed to read note /v/a.md: stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) EXPECT_EQ(file_failure_message("read note", "/v/a.md", c.error), c.message);
  EXPECT_EQ(file_failure_message("append to note", "/v/a.md", err(ENOSPC)),
            "Failed to append to note /v/a.md: No space left on device");
}

// Fails the calls `ops` on exactly one of `targets` with `e`.
FaultyFs::Hook fail_at(std::initializer_list<Op> ops, std::initializer_list<std::string> targets, int e) {
  return [failing = std::vector<Op>(ops), targets = std::vector<std::string>(targets), e](
             Op op, const std::string& path) -> std::optional<std::error_code> {
    const bool hit = std::find(targets.begin(), targets.end(), path) != targets.end() &&
                     std::find(failing.begin(), failing.end(), op) != failing.end();
    return hit ? std::optional(err(e)) : std::nullopt;
  };
}

// The platform's texts of a folder that is a file, and of a name it refuses.
#ifdef _WIN32
const std::string kNotAFolder = platform::system_error(267).message();   // ERROR_DIRECTORY
const std::string kInvalidName = platform::system_error(123).message();  // ERROR_INVALID_NAME
#else
const std::string kNotAFolder = "Not a directory";
const std::string kInvalidName = "Invalid argument";
#endif

// Folders are listed in name order, so that the tests know the walk order.
class WalkFailures : public ::testing::Test {
 protected:
  WalkFailures() { faulty.sorted_listing = true; }
  TempDir dir;
  FaultyFs faulty;
  platform::ScopedFileSystem scoped{faulty};
  std::string vault = dir.mkdir("v");
};

TEST_F(WalkFailures, AListingFailureAnywhereWinsOverAnEarlierUnreadableNote) {
  dir.write("v/a.md", "\xff not text");
  dir.write("v/z/deep.md", "x");
  faulty.fail(Op::open_dir_at, dir.path("v/z"), err(EACCES));
  const std::string listing = "Failed to read directory " + dir.path("v/z") + ": Permission denied";
  EXPECT_EQ(search_vault(vault, "", 10, {}).error(), listing);
  faulty.hook = fail_at({Op::read}, {canonical(dir.path("v/a.md"))}, EIO);
  EXPECT_EQ(vault_context(vault).error(), listing);
  // Even when the limit is reached before the walk gets there.
  faulty.hook = nullptr;
  dir.write("v/a.md", "good words");
  EXPECT_EQ(search_vault(vault, "good", 1, {}).error(), listing);
  EXPECT_EQ(search_vault(vault, "", 0, {}).error(), listing);
}

TEST_F(WalkFailures, TheNoteFailureStandsWhenTheRestOfTheWalkIsClean) {
  dir.write("v/a.md", "\xff not text");
  dir.write("v/z/deep.md", "x");
  EXPECT_EQ(search_vault(vault, "", 10, {}).error(),
            "Failed to read note " + dir.path("v/a.md") + ": stream did not contain valid UTF-8");
  // The walk stops reading at the limit: a later unreadable note does not matter.
  dir.write("v/0.md", "first");
  EXPECT_EQ(search_vault(vault, "", 1, {}).value().size(), 1u);
  faulty.fail(Op::read, dir.path("v/z/deep.md"), err(EIO));
  EXPECT_EQ(vault_context(vault).error(), "Failed to read note " + dir.path("v/z/deep.md") + ": Input/output error");
}

TEST_F(WalkFailures, EntryAndFolderFailures) {
  dir.write("v/z/deep.md", "x");
  faulty.hook = fail_at({Op::next_entry}, {canonical(dir.path("v/z"))}, EIO);
  EXPECT_EQ(search_vault(vault, "", 10, {}).error(), "Failed to read directory entry: Input/output error");
  EXPECT_EQ(vault_context(vault).error(), "Failed to read directory entry: Input/output error");
  faulty.hook = nullptr;
  EXPECT_EQ(search_vault(dir.path("missing"), "", 10, {}).error(), "File does not exist: " + dir.path("missing"));
  const std::string file = dir.write("file.md", "x");
  EXPECT_EQ(vault_context(file).error(), "Failed to read directory " + file + ": " + kNotAFolder);
}

TEST_F(WalkFailures, ALargeNoteThatIsNotTextFailsOnlyWhenItsTitleIsRederived) {
  // Valid UTF-8 in its first 65,536 bytes, an ill-formed byte after them.
  dir.write("v/big.md", std::string(70000, 'a') + "\xff");
  EXPECT_EQ(vault_context(vault).error(),
            "Failed to read note " + dir.path("v/big.md") + ": stream did not contain valid UTF-8");
  // With a heading in the first part there is nothing to re-derive.
  dir.write("v/big.md", "# Big\n" + std::string(70000, 'a') + "\xff");
  EXPECT_EQ(vault_context(vault).value()["recentNotes"][0]["title"], "Big");
}

class OperationFailures : public ::testing::Test {
 protected:
  TempDir dir;
  FaultyFs faulty;
  platform::ScopedFileSystem scoped{faulty};
  std::string vault = dir.mkdir("v");
  std::string note = dir.write("v/n.md", "text");
  // The note as the operations name it once they have resolved it.
  std::string resolved = canonical(note);
};

TEST_F(OperationFailures, Reading) {
  // The vault folder can be neither opened nor resolved.
  faulty.hook = fail_at({Op::open_dir, Op::canonicalize}, {vault}, EACCES);
  EXPECT_EQ(read_note(vault, "n.md").error(), "Failed to resolve vault " + vault + ": Permission denied");
  // It resolves, but its metadata cannot be read.
  faulty.hook = fail_at({Op::open_dir, Op::metadata}, {vault, canonical(vault)}, EIO);
  EXPECT_EQ(read_note(vault, "n.md").error(), "Vault is not an accessible directory: " + vault);
  faulty.hook = nullptr;
  EXPECT_EQ(read_note(note, "x.md").error(), "Vault is not an accessible directory: " + note);
  faulty.hook = fail_at({Op::read_metadata}, {resolved}, EIO);
  EXPECT_EQ(read_note(vault, "n.md").error(), "Failed to stat note " + resolved + ": Input/output error");
  faulty.hook = fail_at({Op::open_file, Op::canonicalize}, {resolved}, ELOOP);
  EXPECT_EQ(read_note(vault, "n.md").error(), "Failed to resolve note " + resolved + ": " + err(ELOOP).message());
  faulty.hook = fail_at({Op::open_file}, {resolved}, EACCES);
  EXPECT_EQ(read_note(vault, "n.md").error(), "Failed to read note " + resolved + ": Permission denied");
  faulty.hook = fail_at({Op::read}, {resolved}, EIO);
  EXPECT_EQ(read_note(vault, "n.md").error(), "Failed to read note " + resolved + ": Input/output error");
}

TEST_F(OperationFailures, Creating) {
  // The folders as the operation names them: below the resolved vault.
  const std::string a = canonical(dir.path("v/a"));
  const std::string ab = canonical(dir.path("v/a/b"));
  faulty.hook = fail_at({Op::create_dir_at}, {ab}, EACCES);
  EXPECT_EQ(create_note_in_vault(vault, "a/b/c.md", "x").error(), "Failed to create folder " + ab + ": Permission denied");
  // A folder made but gone again before it could be opened.
  faulty.hook = fail_at({Op::open_dir_at}, {ab}, ENOENT);
  EXPECT_EQ(create_note_in_vault(vault, "a/b/c.md", "x").error(), "File does not exist: " + ab);
  // Nothing is created when the nearest existing folder cannot be resolved.
  ASSERT_TRUE(std::filesystem::remove(dir.path("v/a/b")));
  ASSERT_TRUE(std::filesystem::remove(dir.path("v/a")));
  faulty.hook = fail_at({Op::open_dir}, {a}, EACCES);
  EXPECT_EQ(create_note_in_vault(vault, "a/b/c.md", "x").error(), "Failed to resolve folder " + a + ": Permission denied");
  EXPECT_FALSE(dir.exists("v/a"));
  // A folder name the platform refuses.
  faulty.hook = nullptr;
  const std::string nul_folder = canonical(dir.path("v/f")) + std::string("\0g", 2);
  EXPECT_EQ(create_note_in_vault(vault, "f" + std::string("\0g/n.md", 7), "x").error(),
            "Failed to resolve folder " + nul_folder + ": " + kInvalidName);
}

TEST_F(OperationFailures, Updating) {
  // The metadata after the save fails: the new content is on disk all the same.
  faulty.hook = [&](Op op, const std::string& path) -> std::optional<std::error_code> {
    return op == Op::metadata_at && path == resolved && faulty.count(Op::rename_at) > 0 ? std::optional(err(EIO))
                                                                                         : std::nullopt;
  };
  EXPECT_EQ(update_note_in_vault(vault, "n.md", "new", std::nullopt).error(),
            "Failed to stat note " + resolved + ": Input/output error");
  EXPECT_EQ(dir.read("v/n.md"), "new");
  faulty.hook = fail_at({Op::metadata_at}, {resolved}, EIO);
  EXPECT_EQ(update_note_in_vault(vault, "n.md", "newer", 0.0).error(),
            "Failed to stat note " + resolved + ": Input/output error");
  EXPECT_EQ(dir.read("v/n.md"), "new");
}

TEST_F(OperationFailures, Appending) {
  faulty.hook = fail_at({Op::open_at}, {resolved}, EACCES);
  EXPECT_EQ(append_to_note_in_vault(vault, "n.md", "more").error(),
            "Failed to append to note " + resolved + ": Permission denied");
  faulty.hook = fail_at({Op::write}, {resolved}, ENOSPC);
  EXPECT_EQ(append_to_note_in_vault(vault, "n.md", "more").error(),
            "Failed to append to note " + resolved + ": No space left on device");
  faulty.hook = fail_at({Op::metadata_at}, {resolved}, EIO);
  EXPECT_EQ(append_to_note_in_vault(vault, "n.md", "more").error(),
            "Failed to stat note " + resolved + ": Input/output error");
  EXPECT_EQ(dir.read("v/n.md"), "textmore");
}

TEST(CreateNote, MakesEveryMissingFolderLevel) {
  TempDir dir;
  const std::string vault = dir.mkdir("v");
  const auto record = create_note_in_vault(vault, "a/b/c/n.md", "---\ntitle: N\n---\nthe body\n");
  ASSERT_TRUE(record.has_value()) << record.error();
  EXPECT_EQ(record->path, "a/b/c/n.md");
  const std::string text = dir.read("v/a/b/c/n.md");
  EXPECT_TRUE(text.starts_with("---\ntitle: N\n_id: ")) << text;
  EXPECT_TRUE(text.ends_with("\n---\nthe body\n")) << text;
}

// A note replaced by another program right after its bytes were read: the
// modification time returned is that of the bytes returned. The new file's
// time would let an update guarded by it overwrite content never read.
TEST(ReadNote, TheModificationTimeBelongsToTheBytesRead) {
  TempDir dir;
  const std::string vault = dir.mkdir("v");
  const std::string note = dir.write("v/n.md", "old");
  set_mtime(note, 1'000'000'000);
  struct ReplacedAfterRead : FaultyFs {
    std::function<void()> after_read;
    platform::Result<platform::FileContent> read(platform::File& file, std::size_t limit) override {
      auto content = FaultyFs::read(file, limit);
      after_read();
      return content;
    }
  } replacing;
  // The note read is moved aside (Windows replaces no file that is open) and
  // a new one takes its name.
  replacing.after_read = [&] {
    const std::string fresh = dir.write("v/fresh.md", "new");  // modified now
    std::filesystem::rename(note, dir.path("v/old.md"));
    std::filesystem::rename(fresh, note);
  };
  platform::ScopedFileSystem scope(replacing);
  const auto record = read_note(vault, "n.md");
  ASSERT_TRUE(record.has_value()) << record.error();
  EXPECT_EQ(record->content, "old");
  EXPECT_EQ(record->mtime_ms, 1e12);
}

TEST(SearchVault, TitlesFromFileNamesAreText) {
  TempDir dir;
  const std::string vault = dir.mkdir("v");
#ifdef _WIN32
  // Windows names are UTF-16, where a lone surrogate (no text either) may stand.
  const std::wstring name = std::filesystem::path(vault).wstring() + L"\\caf\xD800.md";
  const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "the file system takes no name with a lone surrogate (as wine's)";
  ::CloseHandle(h);
  // Its code unit in the three-byte form, each of whose bytes is no text.
  const std::string lost = "\uFFFD\uFFFD\uFFFD";
#else
  dir.write("v/caf\xe9.md", "body");
  const std::string lost = "\uFFFD";
#endif
  const auto hits = search_vault(vault, "", 10, {});
  ASSERT_EQ(hits.value().size(), 1u);
  EXPECT_EQ(hits->front().title, "caf" + lost);
  EXPECT_EQ(hits->front().path, "caf" + lost + ".md");
  EXPECT_EQ(vault_context(vault).value()["recentNotes"][0]["title"], "caf" + lost);
}

}  // namespace

}  // namespace server
