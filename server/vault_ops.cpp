// Note operations: every file access goes through platform::fs(), every path
// rule through path_syntax, every message through file_failure_message.
#include "server/vault_ops.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

#include "vault_core/frontmatter/frontmatter_json.h"
#include "vault_core/frontmatter/split.h"
#include "vault_core/paths/path_syntax.h"
#include "vault_core/unicode/unicode.h"
#include "vault_core/vault/file.h"

namespace server {

namespace {

constexpr const char* kStayInside = "Note path must stay inside the active vault";
constexpr std::size_t kContextPrefixBytes = 65536;
constexpr std::size_t kRecentNotes = 20;
// The snippet: characters before and after the first match, or from the
// start when nothing matches.
constexpr std::size_t kSnippetBefore = 40;
constexpr std::size_t kSnippetAfter = 80;
constexpr std::size_t kSnippetWithoutMatch = 120;
constexpr double kMtimeToleranceMs = 100;

// The content just read when it is UTF-8 text.
platform::Result<platform::FileContent> as_text(platform::Result<platform::FileContent> content) {
  if (content && !unicode::is_valid_utf8(content->bytes)) {
    return std::unexpected(make_error_code(platform::Failure::invalid_utf8));
  }
  return content;
}

// Reads the open file whole and checks that it is UTF-8 text.
platform::Result<platform::FileContent> read_text(platform::File& file) { return as_text(platform::fs().read(file)); }

// Opens `path` for reading, following links, when what opens lies strictly
// inside the canonical vault folder `root`; nothing when it lies elsewhere.
platform::Result<std::optional<platform::File>> open_inside(const std::string& root, const std::string& path) {
  auto file = platform::fs().open_file(path, platform::OpenMode::read);
  if (!file) return std::unexpected(file.error());
  auto name = platform::fs().final_name(*file);
  if (!name) return std::unexpected(name.error());
  if (!paths::strictly_inside(root, *name)) return std::nullopt;
  return std::optional(std::move(*file));
}

// Reads `path` as UTF-8 text when it resolves to a place strictly inside the
// vault folder `vault`: a file reached through a link that leads out of the
// vault counts as unreadable, like a missing one.
std::optional<std::string> read_inside_vault(const std::string& vault, const std::string& path) {
  const auto root = platform::fs().canonicalize(vault);
  if (!root) return std::nullopt;
  auto file = open_inside(*root, path);
  if (!file || !*file) return std::nullopt;
  auto content = read_text(**file);
  if (!content) return std::nullopt;
  return std::move(content->bytes);
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The file name without its final extension, as text; a name whose only dot
// is its first character stays whole.
std::string file_stem(std::string_view path) {
  std::string_view name = paths::final_component(path).value_or(std::string_view());
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos && dot != 0) name = name.substr(0, dot);
  return unicode::lossy_utf8(name);
}

// The note path with the vault text removed from its front, as portable text.
std::string relative_to_vault(const std::string& vault, const std::string& note) {
  if (auto rest = paths::relative_remainder(vault, note)) return *rest;
  return paths::portable_text(note);
}

// True when the canonical `path` is `root` itself or lies below it.
bool at_or_below(const std::string& root, const std::string& path) {
  const auto rest = paths::relative_remainder(root, path);
  if (!rest) return false;
  return !(*rest == ".." || rest->starts_with("../"));
}

}  // namespace

// --- Reading ----------------------------------------------------------------

double mtime_ms(const platform::FileInfo& info) {
  if (info.mtime_sec < 0) return 0;
  // Whole milliseconds in integers, exact; a time so far ahead that they do
  // not fit in 64 bits is beyond a double's exactness anyway.
  constexpr std::int64_t kMaxExactSeconds = std::numeric_limits<std::int64_t>::max() / 1000;
  const double whole = info.mtime_sec <= kMaxExactSeconds ? static_cast<double>(info.mtime_sec * 1000)
                                                          : static_cast<double>(info.mtime_sec) * 1000.0;
  return whole + static_cast<double>(info.mtime_nsec) / 1'000'000.0;
}

Expected<std::string> resolve_vault_root(const std::string& vault) {
  // The usual case in one step; a failure is taken apart below for its message.
  if (auto folder = platform::fs().open_dir(vault, platform::DirUse::reach)) {
    auto name = platform::fs().final_name(*folder);
    if (!name) return std::unexpected(file_failure_message("resolve vault", vault, name.error()));
    return std::move(*name);
  }
  auto canonical = platform::fs().canonicalize(vault);
  if (!canonical) return std::unexpected(file_failure_message("resolve vault", vault, canonical.error()));
  auto info = platform::fs().metadata(*canonical);
  if (!info || info->type != platform::FileType::directory) {
    return std::unexpected("Vault is not an accessible directory: " + vault);
  }
  return *canonical;
}

Expected<std::string> note_candidate(const std::string& root, const std::string& note_path) {
  if (paths::is_absolute_path(note_path)) return note_path;
  const std::string candidate = paths::lexical_normalize(paths::join_path(root, note_path));
  if (!paths::strictly_inside(paths::lexical_normalize(root), candidate)) return std::unexpected(kStayInside);
  return candidate;
}

Expected<std::string> vault_relative_text(const std::string& root, const std::string& path) {
  auto rest = paths::relative_remainder(root, path);
  if (!rest || rest->empty() || *rest == ".." || rest->starts_with("../")) return std::unexpected(kStayInside);
  return *rest;
}

Expected<LocatedNote> locate_note(const std::string& vault, const std::string& note_path) {
  auto root = resolve_vault_root(vault);
  if (!root) return std::unexpected(root.error());
  auto candidate = note_candidate(*root, note_path);
  if (!candidate) return std::unexpected(candidate.error());
  auto canonical = platform::fs().canonicalize(*candidate);
  if (!canonical) return std::unexpected(file_failure_message("resolve note", *candidate, canonical.error()));
  auto relative = vault_relative_text(*root, *canonical);
  if (!relative) return std::unexpected(relative.error());
  return LocatedNote{std::move(*root), std::move(*canonical), std::move(*relative)};
}

namespace {

// The message for a note that could not be opened for reading, as the steps
// of locating and reading it tell: not found, a failure to resolve its name,
// a name outside the vault, or the read failure under its canonical path.
std::string open_failure_message(const std::string& root, const std::string& candidate, const std::error_code& error) {
  if (platform::is_not_found(error)) return file_failure_message("resolve note", candidate, error);
  auto canonical = platform::fs().canonicalize(candidate);
  if (!canonical) return file_failure_message("resolve note", candidate, canonical.error());
  if (auto relative = vault_relative_text(root, *canonical); !relative) return relative.error();
  return file_failure_message("read note", *canonical, error);
}

}  // namespace

Expected<NoteRecord> read_note(const std::string& vault, const std::string& note_path) {
  auto root = resolve_vault_root(vault);
  if (!root) return std::unexpected(root.error());
  auto candidate = note_candidate(*root, note_path);
  if (!candidate) return std::unexpected(candidate.error());
  // The check is made on the file that was opened, so a name swapped for a
  // link in the meantime cannot lead the read out of the vault.
  auto file = platform::fs().open_file(*candidate, platform::OpenMode::read);
  if (!file) return std::unexpected(open_failure_message(*root, *candidate, file.error()));
  auto canonical = platform::fs().final_name(*file);
  if (!canonical) return std::unexpected(file_failure_message("resolve note", *candidate, canonical.error()));
  auto relative = vault_relative_text(*root, *canonical);
  if (!relative) return std::unexpected(relative.error());
  auto content = read_text(*file);
  if (!content) return std::unexpected(file_failure_message("read note", *canonical, content.error()));
  // The metadata comes from the file that was read, taken before its bytes.
  if (!content->info) return std::unexpected(file_failure_message("stat note", *canonical, content->info.error()));
  frontmatter::ParsedNote parsed = frontmatter::parse_note_text(content->bytes);
  NoteRecord record;
  record.path = std::move(*relative);
  record.frontmatter = std::move(parsed.frontmatter);
  record.content = std::string(unicode::trim(parsed.body));
  record.mtime_ms = mtime_ms(*content->info);
  return record;
}

// --- Writing ----------------------------------------------------------------

std::string plain_decimal(double value) {
  // The shortest round-trip digits come from the scientific form ("1.5e+21");
  // the fixed form would spell out every digit of a large whole number's
  // binary value ("99999999999999991611392" for 1e23).
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, ec == std::errc() ? static_cast<std::size_t>(end - buffer) : 0);
  const std::size_t e = sci.find('e');
  if (e == std::string_view::npos) return std::string(sci);  // inf, nan
  std::string out;
  std::string digits;
  for (const char c : sci.substr(0, e)) {
    if (c == '-') {
      out += c;
    } else if (c != '.') {
      digits += c;
    }
  }
  int exponent = 0;
  const std::string_view exp_text = sci.substr(e + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0), exp_text.data() + exp_text.size(), exponent);
  // The decimal point goes after this many digits.
  const long point = static_cast<long>(exponent) + 1;
  const auto count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    out += digits + std::string(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

namespace {

// The open folder `folder`, checked by its final name to be the vault folder
// `root` itself or to lie below it. Errors: the final name's failure as
// "resolve folder", "Note path must stay inside the active vault".
Expected<platform::Dir> checked_folder(platform::Dir folder, const std::string& root, const std::string& shown) {
  auto name = platform::fs().final_name(folder);
  if (!name) return std::unexpected(file_failure_message("resolve folder", shown, name.error()));
  if (!at_or_below(root, *name)) return std::unexpected(kStayInside);
  return folder;
}

// The open parent folder of a new note at `parent` (a path text), made with
// its missing ancestors. The nearest existing folder is opened first and
// checked to lie inside the vault before anything is created, so a folder
// link inside the vault that leads out of it is caught; each missing level is
// then created in the open level above it and opened without following a
// link, and the parent is checked again.
Expected<platform::Dir> open_new_note_folder(const std::string& root, const std::string& parent) {
  std::vector<std::string> missing;  // the folders to create, innermost first, taken from the back
  std::string folder = parent;
  std::optional<platform::Dir> open;
  while (!open) {
    auto dir = platform::fs().open_dir(folder, platform::DirUse::reach);
    if (dir) {
      auto checked = checked_folder(std::move(*dir), root, folder);
      if (!checked) return std::unexpected(checked.error());
      open = std::move(*checked);
      break;
    }
    const auto up = paths::parent_path(folder);
    const auto name = paths::final_component(folder);
    if (!platform::is_not_found(dir.error()) || !up || up->empty() || !name) {
      return std::unexpected(file_failure_message("resolve folder", folder, dir.error()));
    }
    missing.emplace_back(*name);
    folder = std::string(*up);
  }
  if (missing.empty()) return std::move(*open);
  while (!missing.empty()) {
    const std::string name = std::move(missing.back());
    missing.pop_back();
    if (auto made = platform::fs().create_dir_at(*open, name); !made && !platform::is_already_exists(made.error())) {
      return std::unexpected(file_failure_message("create folder", parent, made.error()));
    }
    auto level = platform::fs().open_dir_at(*open, name, platform::DirUse::reach);
    if (!level) return std::unexpected(file_failure_message("create folder", parent, level.error()));
    open = std::move(*level);
  }
  return checked_folder(std::move(*open), root, parent);
}

// The open folder of a located note, checked to lie inside the vault; a
// folder that cannot be opened gives `fail`'s message.
template <class Fail>
Expected<platform::Dir> open_note_folder(const LocatedNote& note, Fail fail) {
  const auto parent = paths::parent_path(note.canonical_path);
  if (!parent || parent->empty()) return std::unexpected(kStayInside);
  const std::string folder(*parent);
  auto dir = platform::fs().open_dir(folder, platform::DirUse::reach);
  if (!dir) return std::unexpected(fail(dir.error()));
  return checked_folder(std::move(*dir), note.root, folder);
}

}  // namespace

Expected<WriteRecord> create_note_in_vault(const std::string& vault, const std::string& note_path,
                                           const std::string& text) {
  const std::string path(unicode::trim(note_path));
  if (path.empty()) return std::unexpected("Note path is required");
  if (!ends_with(path, ".md")) return std::unexpected("New notes must be markdown files ending in .md");
  auto root = resolve_vault_root(vault);
  if (!root) return std::unexpected(root.error());
  auto candidate = note_candidate(*root, path);
  if (!candidate) return std::unexpected(candidate.error());
  auto relative = vault_relative_text(*root, *candidate);
  if (!relative) return std::unexpected(relative.error());
  const auto parent = paths::parent_path(*candidate);
  const auto name = paths::final_component(*candidate);
  if (!parent || parent->empty() || !name) return std::unexpected(kStayInside);

  auto folder = open_new_note_folder(*root, std::string(*parent));
  if (!folder) return std::unexpected(folder.error());
  auto stamped = vault::stamp_new_note(text);
  if (!stamped) return std::unexpected(stamped.error());
  if (auto created = vault::create_new_note_file({*folder, *name, *candidate}, *stamped); !created) {
    return std::unexpected(created.error());
  }
  return WriteRecord{std::move(*relative), paths::display_path(*candidate), 0};
}

Expected<WriteRecord> update_note_in_vault(const std::string& vault, const std::string& note_path,
                                           const std::string& content, std::optional<double> expected_mtime) {
  auto located = locate_note(vault, note_path);
  if (!located) return std::unexpected(located.error());
  const std::string& path = located->canonical_path;
  auto folder = open_note_folder(*located, [&](const std::error_code& e) {
    return vault::store_failure_message(vault::StoreAction::save, path, e);
  });
  if (!folder) return std::unexpected(folder.error());
  const std::string name(paths::final_component(path).value_or(""));
  if (expected_mtime) {
    auto info = platform::fs().metadata_at(*folder, name);
    if (!info) return std::unexpected(file_failure_message("stat note", path, info.error()));
    const double actual = mtime_ms(*info);
    if (std::fabs(actual - *expected_mtime) > kMtimeToleranceMs) {
      return std::unexpected("Note was modified since read: expectedMtime " + plain_decimal(*expected_mtime) +
                             " but on-disk mtimeMs is " + plain_decimal(actual) + ". Re-read the note and retry.");
    }
  }
  if (auto saved = vault::save_note_file({*folder, name, path}, content); !saved) return std::unexpected(saved.error());
  auto info = platform::fs().metadata_at(*folder, name);
  if (!info) return std::unexpected(file_failure_message("stat note", path, info.error()));
  return WriteRecord{std::move(located->relative), paths::display_path(path), mtime_ms(*info)};
}

Expected<WriteRecord> append_to_note_in_vault(const std::string& vault, const std::string& note_path,
                                              const std::string& text) {
  auto located = locate_note(vault, note_path);
  if (!located) return std::unexpected(located.error());
  const std::string& path = located->canonical_path;
  auto folder = open_note_folder(*located, [&](const std::error_code& e) {
    return file_failure_message("append to note", path, e);
  });
  if (!folder) return std::unexpected(folder.error());
  const std::string name(paths::final_component(path).value_or(""));
  if (auto appended = vault::append_note_file({*folder, name, path}, text); !appended) {
    return std::unexpected(appended.error());
  }
  auto info = platform::fs().metadata_at(*folder, name);
  if (!info) return std::unexpected(file_failure_message("stat note", path, info.error()));
  return WriteRecord{std::move(located->relative), paths::display_path(path), mtime_ms(*info)};
}

// --- Walking and searching --------------------------------------------------

NoteWalker::NoteWalker(std::string folder) : root_(std::move(folder)) {}

namespace {

// Out of descriptors, for the process or the system. While reading ahead the
// notes ahead hold descriptors that the walk would otherwise have free.
bool out_of_descriptors(const std::error_code& e) {
  return e == std::errc::too_many_files_open || e == std::errc::too_many_files_open_in_system;
}

}  // namespace

Expected<bool> NoteWalker::enter(const std::string& name, std::string path, bool ahead) {
  // Opened relative to its parent and never through a link, so a folder
  // swapped for a link meanwhile fails instead of leading the walk out.
  auto dir = platform::fs().open_dir_at(stack_.back().dir, name, platform::DirUse::list);
  if (!dir && ahead && out_of_descriptors(dir.error())) {
    // Entered when the walk gets here, with the descriptors of the notes
    // ahead given back.
    folder_to_enter_ = Listed{std::move(path), name};
    return false;
  }
  if (!dir) {
    stack_.clear();
    return std::unexpected(file_failure_message("read directory", path, dir.error()));
  }
  stack_.push_back(Level{std::move(path), std::move(*dir)});
  return true;
}

Expected<bool> NoteWalker::list(Listed& into, bool ahead) {
  if (!started_) {
    started_ = true;
    auto dir = platform::fs().open_dir(root_, platform::DirUse::list);
    if (!dir) return std::unexpected(file_failure_message("read directory", root_, dir.error()));
    auto name = platform::fs().final_name(*dir);
    if (!name) return std::unexpected(file_failure_message("read directory", root_, name.error()));
    canonical_root_ = std::move(*name);
    stack_.push_back(Level{root_, std::move(*dir)});
  }
  while (!stack_.empty()) {
    if (folder_to_enter_) {
      Listed folder = std::move(*folder_to_enter_);
      folder_to_enter_.reset();
      auto entered = enter(folder.name, std::move(folder.path), ahead);
      if (!entered) return std::unexpected(entered.error());
      if (!*entered) return false;
      continue;
    }
    Level& level = stack_.back();
    auto entry = platform::fs().next_entry(level.dir);
    if (!entry) {
      stack_.clear();
      return std::unexpected("Failed to read directory entry: " + entry.error().message());
    }
    if (!*entry) {
      stack_.pop_back();
      continue;
    }
    platform::DirEntry& e = **entry;
    if (e.name.starts_with('.')) continue;
    if (e.type == platform::FileType::directory) {
      auto entered = enter(e.name, paths::join_path(level.path, e.name), ahead);
      if (!entered) return std::unexpected(entered.error());
      if (!*entered) return false;
      continue;
    }
    if (!ends_with(e.name, ".md")) continue;
    into.path = paths::join_path(level.path, e.name);
    into.name = std::move(e.name);
    into.opened.reset();
    into.taken = false;
    return true;
  }
  return false;
}

Expected<std::optional<std::string>> NoteWalker::next() {
  if (!ahead_.empty()) {
    current_ = std::move(ahead_.front());
    ahead_.pop_front();
    return std::optional(std::move(current_.path));
  }
  if (failure_ahead_) {
    std::string failure = std::move(*failure_ahead_);
    failure_ahead_.reset();
    return std::unexpected(std::move(failure));
  }
  auto listed = list(current_, false);
  if (!listed) return std::unexpected(listed.error());
  if (!*listed) return std::optional<std::string>();
  return std::optional(std::move(current_.path));
}

platform::Result<std::optional<platform::File>> NoteWalker::open_listed(const std::string& name) {
  if (stack_.empty()) return std::unexpected(platform::system_error(EBADF));
  auto file = platform::fs().open_at(stack_.back().dir, name, platform::OpenMode::read, platform::Links::follow);
  if (!file) return std::unexpected(file.error());
  auto final_name = platform::fs().final_name(*file);
  if (!final_name) return std::unexpected(final_name.error());
  if (!paths::strictly_inside(canonical_root_, *final_name)) return std::nullopt;
  return std::optional(std::move(*file));
}

platform::Result<std::optional<platform::File>> NoteWalker::open_current() {
  if (current_.taken) return std::unexpected(platform::system_error(EBADF));
  current_.taken = true;
  if (current_.opened) return std::move(*current_.opened);
  return open_listed(current_.name);
}

void NoteWalker::read_ahead(std::uint64_t bytes) {
  // A note left to be opened when the walk reaches it must stay the last one
  // listed (its folder the top level), and so must a folder left to be
  // entered; a listing failure ends the listing.
  while (ahead_.size() < kReadAheadNotes && !failure_ahead_ && !folder_to_enter_ &&
         (ahead_.empty() || ahead_.back().opened)) {
    Listed note;
    auto listed = list(note, true);
    if (!listed) {
      failure_ahead_ = std::move(listed.error());
      return;
    }
    if (!*listed) return;
    auto opened = open_listed(note.name);
    // Out of descriptors: the notes ahead hold them, so this one is opened
    // when the walk reaches it, as it would have been without them.
    if (opened || !out_of_descriptors(opened.error())) {
      if (opened && *opened) platform::fs().prefetch(**opened, bytes);
      note.opened = std::move(opened);
    }
    ahead_.push_back(std::move(note));
  }
}

platform::Result<platform::FileContent> NoteWalker::read(platform::File& file, std::size_t limit) {
  // How much of a note ahead is worth fetching: the kernel's own read-ahead
  // takes over for the rest of a large one.
  constexpr std::uint64_t kPrefetchBytes = std::uint64_t{256} * 1024;
  // Notes in a row found in memory after which the walk stops reading ahead.
  constexpr std::size_t kInMemoryRun = 2 * kReadAheadNotes;
  if (!probing_) return platform::fs().read(file, limit);
  const std::uint64_t prefetch = std::min<std::uint64_t>(limit, kPrefetchBytes);
  if (reading_ahead_) read_ahead(prefetch);
  auto cached = platform::fs().read_cached(file, limit);
  if (cached && *cached) {
    if (reading_ahead_ && ++in_memory_run_ >= kInMemoryRun) reading_ahead_ = false;
    return std::move(**cached);
  }
  if (cached) {
    // The note is being fetched: the notes after it are fetched meanwhile.
    in_memory_run_ = 0;
    if (!reading_ahead_) {
      reading_ahead_ = true;
      read_ahead(prefetch);
    }
  } else if (cached.error() == std::errc::operation_not_supported) {
    probing_ = false;
    reading_ahead_ = false;
  } else {
    return std::unexpected(cached.error());
  }
  return platform::fs().read(file, limit);
}

namespace {

// Runs the walk to its end without reading notes, so that a listing failure
// anywhere in the vault is reported as it would be had the whole list been
// made first.
Expected<void> finish_walk(NoteWalker& walker) {
  while (true) {
    auto next = walker.next();
    if (!next) return std::unexpected(next.error());
    if (!*next) return {};
  }
}

std::vector<std::string> query_terms(std::string_view query) {
  std::vector<std::string> terms;
  std::size_t i = 0;
  while (i < query.size()) {
    // Skip white space, then take everything up to the next white space.
    std::size_t start = i;
    while (start < query.size()) {
      std::size_t j = start;
      if (!unicode::is_white_space(unicode::decode(query, j))) break;
      start = j;
    }
    std::size_t end = start;
    while (end < query.size()) {
      std::size_t j = end;
      if (unicode::is_white_space(unicode::decode(query, j))) break;
      end = j;
    }
    if (end > start) {
      std::string term = unicode::to_lower(query.substr(start, end - start));
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(std::move(term));
    }
    i = end;
  }
  return terms;
}

// The title: a string `_title` member of an object frontmatter, else the text's own.
std::string title_of(const Json& frontmatter, std::string_view text, std::string_view stem) {
  if (frontmatter.is_object()) {
    auto it = frontmatter.find("_title");
    if (it != frontmatter.end() && it->is_string()) return it->get<std::string>();
  }
  return note_title(text, stem);
}

bool has_all_tags(const std::vector<std::string>& note_tags, const std::vector<std::string>& wanted) {
  if (note_tags.empty()) return false;
  std::vector<std::string> lowered;
  lowered.reserve(note_tags.size());
  for (const auto& t : note_tags) lowered.push_back(unicode::to_lower(t));
  for (const auto& w : wanted) {
    if (std::find(lowered.begin(), lowered.end(), w) == lowered.end()) return false;
  }
  return true;
}

}  // namespace

Expected<std::vector<SearchHit>> search_vault(const std::string& vault, std::string_view query, std::uint64_t limit,
                                              const std::vector<std::string>& tags) {
  const std::vector<std::string> terms = query_terms(query);
  std::vector<std::string> wanted;
  wanted.reserve(tags.size());
  for (const auto& t : tags) wanted.push_back(unicode::to_lower(t));

  std::vector<SearchHit> hits;
  NoteWalker walker(vault);
  std::string lower_text;
  std::string lower_title;
  while (hits.size() < limit) {
    auto next = walker.next();
    if (!next) return std::unexpected(next.error());
    if (!*next) return hits;
    const std::string& note = **next;
    auto opened = walker.open_current();
    if (opened && !*opened) continue;  // it lies outside the vault
    auto content = opened ? as_text(walker.read(**opened)) : std::unexpected(opened.error());
    if (!content) {
      std::string failure = file_failure_message("read note", note, content.error());
      if (auto rest = finish_walk(walker); !rest) return std::unexpected(rest.error());
      return std::unexpected(std::move(failure));
    }
    const std::string& text = content->bytes;
    const std::string stem = file_stem(note);
    // The frontmatter counts only through its tags and its `_title`: it is
    // parsed when one is wanted and the header may hold it, and the title is
    // made only when a term is missing from the text or the note is a hit.
    std::optional<frontmatter::ParsedNote> parsed;
    if (!wanted.empty()) {
      if (!frontmatter::frontmatter_may_have_member(text, "tags")) continue;
      parsed = frontmatter::parse_note_text(text);
      if (!has_all_tags(frontmatter::note_tag_list(parsed->frontmatter), wanted)) continue;
    }
    std::optional<std::string> title;
    auto make_title = [&] {
      if (!parsed && frontmatter::frontmatter_may_have_member(text, "_title")) parsed = frontmatter::parse_note_text(text);
      title = parsed ? title_of(parsed->frontmatter, text, stem) : note_title(text, stem);
    };

    std::string needle;
    if (!terms.empty()) {
      unicode::to_lower_into(text, lower_text);
      bool matches = true;
      std::size_t best = std::string::npos;
      for (const auto& term : terms) {
        const std::size_t at = lower_text.find(term);
        if (at == std::string::npos) {
          if (!title) {
            make_title();
            unicode::to_lower_into(*title, lower_title);
          }
          if (lower_title.find(term) == std::string::npos) {
            matches = false;
            break;
          }
        }
        if (at < best) {
          best = at;
          needle = term;
        }
      }
      if (!matches) continue;
      if (best == std::string::npos) needle = std::string(query);
    }
    if (!title) make_title();
    hits.push_back(SearchHit{relative_to_vault(vault, note), std::move(*title), make_snippet(text, needle)});
  }
  // The limit is reached: the rest of the walk still has to list cleanly.
  if (auto rest = finish_walk(walker); !rest) return std::unexpected(rest.error());
  return hits;
}

std::string note_title(std::string_view text, std::string_view stem) {
  bool heading_seen = false;
  bool title_line_seen = false;
  std::optional<std::string> from_title_line;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t lf = text.find('\n', start);
    std::string_view line = text.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!heading_seen && line.size() >= 2 && line.starts_with("# ")) {
      heading_seen = true;
      const std::string_view rest = unicode::trim(line.substr(2));
      if (!rest.empty()) return std::string(rest);
    }
    if (!title_line_seen && line.starts_with("_title:")) {
      title_line_seen = true;
      const std::string_view rest = unicode::trim(line.substr(7));
      if (!rest.empty()) from_title_line = std::string(rest);
    }
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  if (from_title_line) return *from_title_line;
  return std::string(stem);
}

std::string make_snippet(std::string_view text, std::string_view needle) {
  std::string_view body = text;
  const frontmatter::BodySplit split = frontmatter::body_after_frontmatter(text);
  if (const auto* found = std::get_if<frontmatter::Body>(&split)) body = found->text;
  body = unicode::trim(body);

  const std::size_t n = unicode::char_count(body);
  const std::string lower = unicode::to_lower(body);
  const std::size_t at = lower.find(needle);
  if (at == std::string::npos) {
    return std::string(body.substr(0, unicode::byte_offset_of_char(body, kSnippetWithoutMatch)));
  }
  const std::size_t i = unicode::char_count(std::string_view(lower).substr(0, at));
  const std::size_t m = unicode::char_count(needle);
  // Positions counted in the lower-cased body are applied to the body itself;
  // where lower-casing changed the length they are clamped to the body.
  const std::size_t s = std::min(i >= kSnippetBefore ? i - kSnippetBefore : 0, n);
  const std::size_t e = std::min(n, i + m + kSnippetAfter);
  const std::size_t from = unicode::byte_offset_of_char(body, s);
  const std::size_t to = unicode::byte_offset_of_char(body, std::max(s, e));
  std::string snippet;
  if (i > kSnippetBefore) snippet += "...";
  snippet.append(body.substr(from, to - from));
  if (i + m + kSnippetAfter < n) snippet += "...";
  return snippet;
}

// --- Vault context ----------------------------------------------------------

std::optional<Json> agent_instructions(const std::string& vault) {
  const std::string path = paths::join_path(vault, "AGENTS.md");
  std::optional<std::string> text = read_inside_vault(vault, path);
  if (!text) return std::nullopt;
  Json record = Json::object();
  record["content"] = std::move(*text);
  record["path"] = path;
  return record;
}

namespace {

struct RecentEntry {
  std::string note;  // the walked path
  std::optional<platform::File> file;  // kept open for a second read when the title is re-derived
  std::string path;  // relative text
  std::string title;
  std::vector<std::string> tags;
  double mtime = 0;
  bool rederive = false;
};

// True when a note modified at `mtime` enters the list of the newest notes;
// a note offered later loses ties.
bool enters_recent(const std::vector<RecentEntry>& recent, double mtime) {
  return recent.size() < kRecentNotes || mtime > recent.back().mtime;
}

// Inserts an entry that enters_recent admitted, keeping the list newest first
// and equal times in the order offered.
void keep_recent(std::vector<RecentEntry>& recent, RecentEntry entry) {
  auto at = std::upper_bound(recent.begin(), recent.end(), entry.mtime,
                             [](double m, const RecentEntry& e) { return m > e.mtime; });
  recent.insert(at, std::move(entry));
  if (recent.size() > kRecentNotes) recent.pop_back();
}

}  // namespace

Expected<Json> vault_context(const std::string& vault) {
  std::set<std::string> tags;
  std::set<std::string> folders;
  std::vector<RecentEntry> recent;
  std::size_t note_count = 0;

  NoteWalker walker(vault);
  std::string repaired;
  while (true) {
    auto next = walker.next();
    if (!next) return std::unexpected(next.error());
    if (!*next) break;
    const std::string& note = **next;
    auto opened = walker.open_current();
    if (opened && !*opened) continue;  // it lies outside the vault: not listed
    ++note_count;
    auto content = opened ? walker.read(**opened, kContextPrefixBytes) : std::unexpected(opened.error());
    if (!content) {
      std::string failure = file_failure_message("read note", note, content.error());
      if (auto rest = finish_walk(walker); !rest) return std::unexpected(rest.error());
      return std::unexpected(std::move(failure));
    }
    // Ill-formed sequences (a character cut at the end of the prefix too)
    // read as U+FFFD.
    std::string_view text = content->bytes;
    if (!unicode::is_valid_utf8(text)) {
      repaired = unicode::lossy_utf8(text);
      text = repaired;
    }
    const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(text);
    std::vector<std::string> note_tags = frontmatter::note_tag_list(parsed.frontmatter);
    for (const auto& t : note_tags) tags.insert(t);
    std::string path = relative_to_vault(vault, note);
    if (const auto slash = path.find('/'); slash != std::string::npos) folders.insert(path.substr(0, slash + 1));
    if (!content->info) {
      std::string failure = file_failure_message("stat note", note, content->info.error());
      if (auto rest = finish_walk(walker); !rest) return std::unexpected(rest.error());
      return std::unexpected(std::move(failure));
    }

    const double mtime = mtime_ms(*content->info);
    if (!enters_recent(recent, mtime)) continue;
    RecentEntry entry;
    const std::string stem = file_stem(note);
    entry.title = title_of(parsed.frontmatter, text, stem);
    entry.rederive = content->info->size > kContextPrefixBytes && entry.title == stem;
    if (entry.rederive) entry.file = std::move(**opened);
    entry.note = note;
    entry.path = std::move(path);
    entry.tags = std::move(note_tags);
    entry.mtime = mtime;
    keep_recent(recent, std::move(entry));
  }

  // A large note whose title was not found in its first part: the whole text
  // decides, read again from the file that was walked.
  for (RecentEntry& entry : recent) {
    if (!entry.rederive) continue;
    auto full = read_text(*entry.file);
    if (!full) return std::unexpected(file_failure_message("read note", entry.note, full.error()));
    entry.title = note_title(full->bytes, file_stem(entry.note));
  }

  Json config = Json::object();
  if (auto agents_path = note_candidate(vault, "config/agents.md")) {
    if (auto agents = read_inside_vault(vault, *agents_path)) config["agents"] = std::move(*agents);
  }
  Json recent_json = Json::array();
  for (RecentEntry& entry : recent) {
    recent_json.push_back(Json{{"path", std::move(entry.path)}, {"tags", std::move(entry.tags)},
                               {"title", std::move(entry.title)}});
  }
  Json context = Json::object();
  context["configFiles"] = std::move(config);
  context["folders"] = Json(std::vector<std::string>(folders.begin(), folders.end()));
  context["noteCount"] = note_count;
  context["recentNotes"] = std::move(recent_json);
  context["tags"] = Json(std::vector<std::string>(tags.begin(), tags.end()));
  context["vaultPath"] = vault;
  return context;
}

}  // namespace server
