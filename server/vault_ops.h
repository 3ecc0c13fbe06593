// The note operations of one vault: locating and reading a note, creating,
// replacing and appending, the walk that lists a vault's notes, search with
// titles and snippets, the vault context, and the handlers of the six note
// tools.
#pragma once

#include <cstdint>
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
class NoteWalker {
 public:
  explicit NoteWalker(std::string folder);

  // The next note's path (the folder text joined with the names on the way),
  // nothing at the end, or the listing failure, which ends the walk.
  Expected<std::optional<std::string>> next();

  // Opens the note that next() gave last for reading, following a link, and
  // checks the final name of what was opened: nothing when it lies outside
  // the vault folder (such a note counts as not listed), else the open file,
  // or the error of opening it.
  platform::Result<std::optional<platform::File>> open_current();

 private:
  struct Level {
    std::string path;
    platform::Dir dir;
  };

  std::string root_;
  std::string canonical_root_;
  std::vector<Level> stack_;
  std::string current_name_;
  bool started_ = false;
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
