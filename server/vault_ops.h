// The note operations of one vault: locating and reading a note, creating,
// replacing and appending, the walk that lists a vault's notes, search with
// titles and snippets, the vault context, and the handlers of the six note
// tools.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "server/server_state.h"
#include "vault_core/platform/fs.h"
#include "vault_core/vault/file.h"

namespace server {

// --- Reading ----------------------------------------------------------------

// NOLINTNEXTLINE(bugprone-exception-escape): clang-tidy 14 misreads the JSON value's noexcept move
struct NoteRecord {
  std::string path;  // relative to the vault, "/" separators
  Json frontmatter;
  std::string content;  // the body, trimmed
  double mtime_ms = 0;
};

struct LocatedNote {
  std::string root;            // the canonical vault folder
  std::string canonical_path;  // the note's
  std::string relative;        // portable text
};

using vault::file_failure_message;

// Milliseconds since the epoch with the sub-millisecond fraction kept; 0
// before the epoch.
double mtime_ms(const platform::FileInfo& info);

// The canonical path of the vault folder, or the "resolve vault" failure, or
// "Vault is not an accessible directory: {vault}".
[[nodiscard]] Expected<std::string> resolve_vault_root(const std::string& vault);

// An absolute note path unchanged; a relative one joined to `root` and
// lexically normalised, which must stay strictly inside `root`, else
// "Note path must stay inside the active vault".
[[nodiscard]] Expected<std::string> note_candidate(const std::string& root, const std::string& note_path);

// The portable text of `path` below `root`; "Note path must stay inside the
// active vault" when it is not strictly below.
[[nodiscard]] Expected<std::string> vault_relative_text(const std::string& root, const std::string& path);

// The note's canonical path and vault-relative text; a link that leads out of
// the vault is refused.
[[nodiscard]] Expected<LocatedNote> locate_note(const std::string& vault, const std::string& note_path);

// Opens the note, checks that what was opened lies inside the vault (its
// final name, not the path: a name swapped for a link meanwhile is caught),
// and reads and parses it. The modification time belongs to the bytes read.
// Errors: the vault's, "Note path must stay inside the active vault", "File
// does not exist: {path}", and the "resolve note", "read note" (also for a
// FIFO or device) and "stat note" failures.
[[nodiscard]] Expected<NoteRecord> read_note(const std::string& vault, const std::string& note_path);

// --- Writing ----------------------------------------------------------------

struct WriteRecord {
  std::string path;           // relative to the vault, "/" separators
  std::string absolute_path;  // display form
  double mtime_ms = 0;        // after the write (update and append only)
};

// Creates the note (folders as needed) with `_id` and `_date` stamped into
// `text`; never overwrites. Each folder on the way is opened and checked to
// lie inside the vault before anything is created in it, and the note is
// created relative to its open folder.
[[nodiscard]] Expected<WriteRecord> create_note_in_vault(const std::string& vault, const std::string& note_path,
                                           const std::string& text);

// Replaces the note's content through its open, checked folder; with
// `expected_mtime`, refuses when the note's mtimeMs differs from it by more
// than 100.
[[nodiscard]] Expected<WriteRecord> update_note_in_vault(const std::string& vault, const std::string& note_path,
                                           const std::string& content, std::optional<double> expected_mtime);

// Appends `text` after the note's last byte, through its open, checked
// folder; a write that fails part way leaves the note as it was (cut back to
// its earlier length).
[[nodiscard]] Expected<WriteRecord> append_to_note_in_vault(const std::string& vault, const std::string& note_path,
                                              const std::string& text);

// The shortest decimal text that reads back as `value`, without exponent;
// whole numbers without a fraction ("100", "1700000000123.25").
std::string plain_decimal(double value);

// --- Walking and searching --------------------------------------------------

// The depth-first walk of a vault's notes in the order the OS lists entries:
// names starting with "." are skipped, real folders are entered (links to
// folders are not; every folder is opened relative to its parent, never
// through a link), and other entries ending in ".md" are notes.
//
// Reading through the walker overlaps the reads of a cold vault on this one
// thread: when a note's bytes are not in memory, the walker first lists and
// opens the notes after it (at most kReadAheadNotes, each checked as
// open_current checks) and asks the platform to fetch them, so that the
// device works on all of them while the walk waits for one. It reads ahead
// until a run of notes was found in memory; a cached vault costs nothing
// more. What the walk returns is the same either way: a note opened ahead
// reports its failure to open only when the walk reaches it, a listing
// failure met ahead ends the walk only when the walk reaches it, and notes
// opened ahead that are never read are closed with the walker.
class NoteWalker {
 public:
  static constexpr std::size_t kReadAheadNotes = 32;

  explicit NoteWalker(std::string folder);

  // The next note's path (the folder text joined with the names on the way),
  // nothing at the end, or the listing failure, which ends the walk.
  Expected<std::optional<std::string>> next();

  // Opens the note that next() gave last for reading, following a link, and
  // checks the final name of what was opened: nothing when it lies outside
  // the vault folder (such a note counts as not listed), else the open file,
  // or the error of opening it. Call it once per note.
  platform::Result<std::optional<platform::File>> open_current();

  // Reads the file that open_current() gave as platform read() does (its
  // first `limit` bytes); when they are not in memory, first reads ahead.
  platform::Result<platform::FileContent> read(platform::File& file, std::size_t limit = SIZE_MAX);

 private:
  struct Level {
    std::string path;
    platform::Dir dir;
  };
  // A note as listed, and how opening it went. Not opened yet only while it
  // is the last note listed, so that its folder is still the top level.
  struct Listed {
    std::string path;  // handed to the caller by next()
    std::string name;
    std::optional<platform::Result<std::optional<platform::File>>> opened = std::nullopt;
    bool taken = false;  // open_current() has given it
  };

  // Lists the next note into `into`: true, or false at the end, or the
  // listing failure (which empties the stack, so that the walk ends there).
  // Reading `ahead`, a folder that cannot be opened for want of descriptors
  // is left to be entered later, and the listing gives false until then.
  Expected<bool> list(Listed& into, bool ahead);
  // Opens the folder entry `name` of the top level at `path` and makes it
  // the top level: true; false when it is left to be entered later.
  Expected<bool> enter(const std::string& name, std::string path, bool ahead);
  // Opens the note `name` of the top level and checks it as open_current does.
  platform::Result<std::optional<platform::File>> open_listed(const std::string& name);
  // Lists and opens notes after the current one until kReadAheadNotes wait
  // in `ahead_`, asking for the first `bytes` of each to be fetched.
  void read_ahead(std::uint64_t bytes);

  std::string root_;
  std::string canonical_root_;
  std::vector<Level> stack_;
  bool started_ = false;
  Listed current_;
  std::deque<Listed> ahead_;
  std::optional<std::string> failure_ahead_;  // the listing failure after the notes in ahead_
  std::optional<Listed> folder_to_enter_;     // a folder that reading ahead left to be entered
  bool probing_ = true;                       // false once the platform cannot tell what is in memory
  bool reading_ahead_ = false;
  std::size_t in_memory_run_ = 0;  // notes in a row found in memory while reading ahead
};

struct SearchHit {
  std::string path;  // relative to the vault, "/" separators
  std::string title;
  std::string snippet;
};

// The first `limit` notes in walk order that carry every requested tag and
// contain every query term in their title or text.
[[nodiscard]] Expected<std::vector<SearchHit>> search_vault(const std::string& vault, std::string_view query, std::uint64_t limit,
                                              const std::vector<std::string>& tags);

// The text of the first "# " heading line, else of the first "_title:" line,
// else `stem`.
std::string note_title(std::string_view text, std::string_view stem);

// Up to 40 characters before the first match of `needle` in the lower-cased
// body and 80 after it, with "..." where the body was cut; the first 120
// characters when there is no match.
std::string make_snippet(std::string_view text, std::string_view needle);

// --- Vault context ----------------------------------------------------------

// {content, path} of the vault's AGENTS.md when it reads as UTF-8 text;
// nothing when it is missing or unreadable, or resolves (through a link) to a
// place outside the vault.
std::optional<Json> agent_instructions(const std::string& vault);

// Tags, folders, note count, the 20 most recent notes and config/agents.md
// (left out, like AGENTS.md, when a link leads it out of the vault). Errors:
// the walk's, "read note" for a note that cannot be read.
[[nodiscard]] Expected<Json> vault_context(const std::string& vault);

}  // namespace server
