// The walk of search and vault context reads ahead when the vault is not in
// memory. Each case runs the same operations over the same vault three
// times: with the page cache unknown (the walk never reads ahead), cold (it
// reads ahead from the first note on) and as the platform says (warm). The
// answers and the failures must be the same, byte for byte, over vaults with
// unreadable notes, text that is not UTF-8, FIFOs, links leading out, folders
// that fail to list and entries that vanish or turn into links between the
// listing and the read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "server/vault_ops.h"
#include "tests/support/faulty_fs.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/fs.h"

namespace server {

namespace {

using Op = FaultyFs::Op;
using Cache = FaultyFs::Cache;

std::error_code err(int e) { return {e, std::generic_category()}; }

constexpr const char* kOutsideWord = "exfiltrated";

// Three folders of 30 notes each (more than the walk reads ahead, so that
// the window moves) and a folder of 5 inside the first, listed after its
// notes; tags on every third note, words on every fifth; and a note outside
// the vault.
struct Layout {
  TempDir dir;
  std::string vault = dir.path("v");
  std::string outside = dir.write("outside/secret.md", std::string("---\ntags: [t]\n---\n# Secret\n") + kOutsideWord);

  Layout() { build(); }
  // Lays the vault out afresh.
  void build() const {
    std::filesystem::remove_all(vault);
    for (const char* folder : {"a", "b", "c", "a/sub"}) {
      for (int i = 0; i < (std::string_view(folder) == "a/sub" ? 5 : 30); ++i) write_note(folder, i);
    }
  }
  void write_note(const std::string& folder, int i) const {
    const std::string name = folder + "/n" + (i < 10 ? "0" : "") + std::to_string(i) + ".md";
    std::string text;
    if (i % 3 == 0) text += "---\ntags: [t, " + folder + "]\n---\n";
    text += "# Note " + name + "\n\nsome words of " + name;
    if (i % 5 == 0) text += " and the needle";
    const std::string path = dir.write("v/" + name, text);
    // The same times on every build of the vault, two notes to each.
    const timespec times[2] = {{1'700'000'000 + static_cast<time_t>(folder.size() * 100 + i / 2), 0},
                               {1'700'000'000 + static_cast<time_t>(folder.size() * 100 + i / 2), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  std::string path(const std::string& relative) const { return vault + "/" + relative; }
};

// A hook that lays `before` out as the walk enters `folder`, and runs `after`
// once the folder's names are taken (the listing is sorted, so all at once),
// before any of its notes is opened: on every walk.
FaultyFs::Hook around_listing(const std::string& folder, const std::function<void()>& before,
                               const std::function<void()>& after) {
  return [=, calls = 0](Op op, const std::string& path) mutable -> std::optional<std::error_code> {
    if (path != folder) return std::nullopt;
    if (op == Op::open_dir_at) {
      calls = 0;
      before();
    }
    if (op == Op::next_entry && ++calls == 2) after();
    return std::nullopt;
  };
}

struct Case {
  const char* name;
  // Lays out the fault in the vault or the file system.
  std::function<void(Layout&, FaultyFs&)> fault;
  // What a search of every note answers: the failure, or empty for hits.
  std::function<std::string(const Layout&)> failure;
};

std::string hits_text(const Expected<std::vector<SearchHit>>& hits) {
  if (!hits) return "failure: " + hits.error();
  std::string text;
  for (const auto& h : hits.value()) text += h.path + " | " + h.title + " | " + h.snippet + "\n";
  return text;
}

// Every operation of the case, each answer as text.
std::vector<std::string> answers(const std::string& vault) {
  std::vector<std::string> out;
  for (const std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{45},
                                    std::uint64_t{1000}}) {
    out.push_back(hits_text(search_vault(vault, "", limit, {})));
  }
  out.push_back(hits_text(search_vault(vault, "needle", 1000, {})));
  out.push_back(hits_text(search_vault(vault, kOutsideWord, 1000, {})));
  out.push_back(hits_text(search_vault(vault, "", 1000, {"T", "b"})));
  const auto context = vault_context(vault);
  out.push_back(context ? context->dump() : "failure: " + context.error());
  return out;
}

// The number of descriptors the process has open.
std::size_t open_descriptors() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    static_cast<void>(entry);
    ++n;
  }
  return n;
}

const Case kCases[] = {
    {"a clean vault", [](Layout&, FaultyFs&) {}, [](const Layout&) { return std::string(); }},
    {"a note that cannot be read",
     [](Layout& v, FaultyFs& disk) { disk.fail(Op::read, v.path("b/n07.md"), err(EIO)); },
     [](const Layout& v) { return "Failed to read note " + v.path("b/n07.md") + ": Input/output error"; }},
    {"a note that cannot be opened",
     [](Layout& v, FaultyFs& disk) { disk.fail(Op::open_at, v.path("a/n12.md"), err(EACCES)); },
     [](const Layout& v) { return "Failed to read note " + v.path("a/n12.md") + ": Permission denied"; }},
    {"a note whose name cannot be taken",
     [](Layout& v, FaultyFs& disk) { disk.fail(Op::final_name, v.path("c/n03.md"), err(EIO)); },
     [](const Layout& v) { return "Failed to read note " + v.path("c/n03.md") + ": Input/output error"; }},
    {"a note whose metadata fails after the read",
     [](Layout& v, FaultyFs& disk) { disk.fail(Op::read_metadata, v.path("a/n20.md"), err(EIO)); },
     [](const Layout&) { return std::string(); }},
    {"text that is not UTF-8",
     [](Layout& v, FaultyFs&) { v.dir.write("v/b/n21.md", "# Bad\n\xff\xfe"); },
     [](const Layout& v) {
       return "Failed to read note " + v.path("b/n21.md") + ": stream did not contain valid UTF-8";
     }},
    {"a FIFO named like a note",
     [](Layout& v, FaultyFs&) { ASSERT_EQ(::mkfifo(v.path("c/n00x.md").c_str(), 0644), 0); },
     [](const Layout& v) { return "Failed to read note " + v.path("c/n00x.md") + ": Not a regular file"; }},
    {"links leading out of the vault and inside it",
     [](Layout& v, FaultyFs&) {
       ASSERT_EQ(::symlink(v.outside.c_str(), v.path("a/n05x.md").c_str()), 0);
       ASSERT_EQ(::symlink(v.path("c/n29.md").c_str(), v.path("b/n11x.md").c_str()), 0);
     },
     [](const Layout&) { return std::string(); }},
    {"a folder that cannot be opened for listing",
     [](Layout& v, FaultyFs& disk) {
       disk.fail(Op::read, v.path("a/n02.md"), err(EIO));
       disk.fail(Op::open_dir_at, v.path("c"), err(EACCES));
     },
     [](const Layout& v) { return "Failed to read directory " + v.path("c") + ": Permission denied"; }},
    {"a listing that fails part way",
     [](Layout& v, FaultyFs& disk) { disk.fail(Op::next_entry, v.path("b"), err(EIO)); },
     [](const Layout&) { return std::string("Failed to read directory entry: Input/output error"); }},
    {"a note that vanishes between the listing and the read",
     [](Layout& v, FaultyFs& disk) {
       disk.hook = around_listing(
           v.path("b"), [&v] { v.write_note("b", 15); }, [&v] { std::filesystem::remove(v.path("b/n15.md")); });
     },
     [](const Layout& v) { return "File does not exist: " + v.path("b/n15.md"); }},
    {"a note replaced by a link leading out between the listing and the read",
     [](Layout& v, FaultyFs& disk) {
       const std::string note = v.path("b/n16.md");
       disk.hook = around_listing(
           v.path("b"),
           [&v, note] {
             std::filesystem::remove(note);
             v.write_note("b", 16);
           },
           [&v, note] {
             std::filesystem::remove(note);
             std::filesystem::create_symlink(v.outside, note);
           });
     },
     [](const Layout&) { return std::string(); }},
};

TEST(ReadAhead, AnswersAndFailuresAreTheSameWithAndWithoutIt) {
  // What the platform keeps open for the whole process is opened now, so
  // that each walk can be seen to close all it opened.
  ASSERT_TRUE(platform::native_fs().canonicalize("/"));
  for (const Case& c : kCases) {
    Layout v;
    std::map<Cache, std::vector<std::string>> by_cache;
    for (const Cache cache : {Cache::unknown, Cache::cold, Cache::native}) {
      v.build();
      FaultyFs disk;
      disk.sorted_listing = true;
      disk.cache = cache;
      c.fault(v, disk);
      platform::ScopedFileSystem scope(disk);
      const std::size_t descriptors = open_descriptors();
      by_cache[cache] = answers(v.vault);
      // Notes opened ahead and never read are closed with the walk.
      EXPECT_EQ(open_descriptors(), descriptors) << c.name;
      if (cache == Cache::unknown) {
        EXPECT_EQ(disk.count(Op::prefetch), 0) << c.name;
      } else if (cache == Cache::cold) {
        EXPECT_GT(disk.count(Op::prefetch), 0) << c.name;
      }
    }
    const std::vector<std::string>& plain = by_cache[Cache::unknown];
    EXPECT_EQ(by_cache[Cache::cold], plain) << c.name;
    EXPECT_EQ(by_cache[Cache::native], plain) << c.name;

    // The answers themselves: the search of every note fails as the case
    // says, and nothing from outside the vault is ever found.
    const std::string failure = c.failure(v);
    const std::string& every_note = plain[4];
    if (failure.empty()) {
      EXPECT_FALSE(every_note.starts_with("failure")) << c.name << ": " << every_note;
    } else {
      EXPECT_EQ(every_note, "failure: " + failure) << c.name;
    }
    EXPECT_EQ(plain[6].find(kOutsideWord), std::string::npos) << c.name;
  }
}

// Reading ahead holds a bounded number of notes open, whatever the vault's
// size; memory stays flat with it.
TEST(ReadAhead, AtMostAFewDozenNotesAreOpenAtOnce) {
  Layout v;
  FaultyFs disk;
  disk.cache = Cache::cold;
  const std::size_t before = open_descriptors();
  std::size_t most = 0;
  disk.hook = [&](Op op, const std::string&) -> std::optional<std::error_code> {
    if (op == Op::read) most = std::max(most, open_descriptors() - before);
    return std::nullopt;
  };
  platform::ScopedFileSystem scope(disk);
  ASSERT_TRUE(search_vault(v.vault, "", 1000, {}));
  // The notes ahead, the note being read, the folders of the walk (the vault
  // and one level), and what the platform and the count itself hold.
  EXPECT_LE(most, NoteWalker::kReadAheadNotes + 6);
  EXPECT_GT(most, 4u);
}

// Out of descriptors while reading ahead: a note is opened, and a folder
// entered, when the walk reaches it, as without reading ahead, instead of
// failing for a want of descriptors that only reading ahead caused. The
// limit is played by the file system, which refuses to open anything while
// a few more descriptors than the plain walk needs are open.
TEST(ReadAhead, ADescriptorLimitDefersTheNotesAhead) {
  ASSERT_TRUE(platform::native_fs().canonicalize("/"));
  Layout v;
  FaultyFs disk;
  disk.sorted_listing = true;
  std::vector<std::string> plain;
  {
    disk.cache = Cache::unknown;
    platform::ScopedFileSystem scope(disk);
    plain = answers(v.vault);
  }
  // Room for the vault and a folder, the note being read, the count itself
  // and one note ahead: a folder entered while reading ahead finds none.
  const std::size_t limit = open_descriptors() + 5;
  int refused = 0;
  disk.hook = [&](Op op, const std::string&) -> std::optional<std::error_code> {
    if ((op != Op::open_at && op != Op::open_dir_at) || open_descriptors() < limit) return std::nullopt;
    ++refused;
    return err(EMFILE);
  };
  disk.cache = Cache::cold;
  platform::ScopedFileSystem scope(disk);
  EXPECT_EQ(answers(v.vault), plain);
  EXPECT_GT(disk.count(Op::prefetch), 0);
  EXPECT_GT(refused, 0);
}

}  // namespace

}  // namespace server
