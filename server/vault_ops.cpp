// Note operations: every file access goes through platform::fs(), every path
// rule through path_syntax, every message through file_failure_message.
#include "vault_ops.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

#include "frontmatter/scan.h"
#include "frontmatter_json.h"
#include "path_syntax.h"
#include "unicode.h"
#include "vault/file.h"
#include "vault_paths.h"

namespace {

constexpr const char* kStayInside = "Note path must stay inside the active vault";
constexpr std::size_t kContextPrefixBytes = 65536;
constexpr std::size_t kRecentNotes = 20;

// Reads the whole file into `out` and checks that it is UTF-8 text; `info`
// as for FileSystem::read_file.
platform::Result<void> read_text(const std::string& path, std::string& out,
                                 platform::Result<platform::FileInfo>* info = nullptr) {
  if (auto r = platform::fs().read_file(path, out, info); !r) return r;
  if (!unicode::is_valid_utf8(out)) return std::unexpected(make_error_code(platform::Failure::invalid_utf8));
  return {};
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The file name without its final extension, as text; a name whose only dot
// is its first character stays whole.
std::string file_stem(std::string_view path) {
  std::string_view name = final_component(path).value_or(std::string_view());
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos && dot != 0) name = name.substr(0, dot);
  return unicode::lossy_utf8(name);
}

// The note path with the vault text removed from its front, as portable text.
std::string relative_to_vault(const std::string& vault, const std::string& note) {
  if (auto rest = relative_remainder(vault, note)) return *rest;
  return portable_text(note);
}

// True when the canonical `path` is `root` itself or lies below it.
bool at_or_below(const std::string& root, const std::string& path) {
  const auto rest = relative_remainder(root, path);
  if (!rest) return false;
  return !(*rest == ".." || rest->starts_with("../"));
}

// The vault a tool works in: the one `vaultPath` names, else the active one.
Expected<std::string> chosen_vault(const ToolService& service, const Json& arguments) {
  auto named = vault_path_arg(service, arguments);
  if (!named) return std::unexpected(named.error());
  if (*named) return **named;
  auto active = active_vaults(service);
  if (!active) return std::unexpected(active.error());
  return active->front();
}

Json write_result(const WriteRecord& record, const std::string& vault, bool with_mtime) {
  Json result = Json::object();
  result["absolutePath"] = record.absolute_path;
  if (with_mtime) result["mtimeMs"] = mtime_json(record.mtime_ms);
  result["path"] = record.path;
  result["vaultPath"] = vault;
  return result;
}

}  // namespace

// --- Reading ----------------------------------------------------------------

std::string file_failure_message(std::string_view action, std::string_view path, const std::error_code& error) {
  if (platform::is_not_found(error)) return "File does not exist: " + std::string(path);
  if (platform::is_already_exists(error)) return "File already exists: " + std::string(path);
  return "Failed to " + std::string(action) + " " + std::string(path) + ": " + error.message();
}

double mtime_ms(const platform::FileInfo& info) {
  if (info.mtime_sec < 0) return 0;
  // Whole milliseconds in integers wide enough for any count of seconds.
  const auto whole = static_cast<unsigned __int128>(info.mtime_sec) * 1000;
  return static_cast<double>(whole) + static_cast<double>(info.mtime_nsec) / 1'000'000.0;
}

Expected<std::string> resolve_vault_root(const std::string& vault) {
  // The usual case in one step; a failure is taken apart below for its message.
  if (auto folder = platform::fs().canonicalize_directory(vault)) return std::move(*folder);
  auto canonical = platform::fs().canonicalize(vault);
  if (!canonical) return std::unexpected(file_failure_message("resolve vault", vault, canonical.error()));
  auto info = platform::fs().metadata(*canonical);
  if (!info || !info->is_directory) return std::unexpected("Vault is not an accessible directory: " + vault);
  return *canonical;
}

Expected<std::string> note_candidate(const std::string& root, const std::string& note_path) {
  if (is_absolute_path(note_path)) return note_path;
  const std::string candidate = lexical_normalize(join_path(root, note_path));
  if (!strictly_inside(lexical_normalize(root), candidate)) return std::unexpected(kStayInside);
  return candidate;
}

Expected<std::string> vault_relative_text(const std::string& root, const std::string& path) {
  auto rest = relative_remainder(root, path);
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
  return LocatedNote{std::move(*canonical), std::move(*relative)};
}

Expected<NoteRecord> read_note(const std::string& vault, const std::string& note_path) {
  auto located = locate_note(vault, note_path);
  if (!located) return std::unexpected(located.error());
  std::string text;
  // The metadata comes from the file that was read.
  platform::Result<platform::FileInfo> info;
  if (auto r = read_text(located->canonical_path, text, &info); !r) {
    return std::unexpected(file_failure_message("read note", located->canonical_path, r.error()));
  }
  ParsedNote parsed = parse_note_text(text);
  if (!info) return std::unexpected(file_failure_message("stat note", located->canonical_path, info.error()));
  NoteRecord record;
  record.path = std::move(located->relative);
  record.frontmatter = std::move(parsed.frontmatter);
  record.content = std::string(unicode::trim(parsed.body));
  record.mtime_ms = mtime_ms(*info);
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
  const auto parent_view = parent_path(*candidate);
  if (!parent_view || parent_view->empty()) return std::unexpected(kStayInside);
  const std::string parent(*parent_view);

  // The nearest folder that exists must be inside the vault: a folder link
  // inside the vault that leads out of it is caught before anything is created.
  std::string folder = parent;
  while (true) {
    auto canonical = platform::fs().canonicalize(folder);
    if (canonical) {
      if (!at_or_below(*root, *canonical)) return std::unexpected(kStayInside);
      break;
    }
    const auto up = parent_path(folder);
    if (!platform::is_not_found(canonical.error()) || !up || up->empty()) {
      return std::unexpected(file_failure_message("resolve folder", folder, canonical.error()));
    }
    folder = std::string(*up);
  }
  if (auto made = platform::fs().create_directories(parent); !made) {
    return std::unexpected(file_failure_message("create folder", parent, made.error()));
  }
  auto canonical_parent = platform::fs().canonicalize(parent);
  if (!canonical_parent) return std::unexpected(file_failure_message("resolve folder", parent, canonical_parent.error()));
  if (!at_or_below(*root, *canonical_parent)) return std::unexpected(kStayInside);

  auto stamped = vault::stamp_new_note(text);
  if (!stamped) return std::unexpected(stamped.error());
  if (auto created = vault::create_new_note_file(*candidate, *stamped); !created) {
    return std::unexpected(created.error());
  }
  return WriteRecord{std::move(*relative), display_path(*candidate), 0};
}

Expected<WriteRecord> update_note_in_vault(const std::string& vault, const std::string& note_path,
                                           const std::string& content, std::optional<double> expected_mtime) {
  auto located = locate_note(vault, note_path);
  if (!located) return std::unexpected(located.error());
  const std::string& path = located->canonical_path;
  if (expected_mtime) {
    auto info = platform::fs().metadata(path);
    if (!info) return std::unexpected(file_failure_message("stat note", path, info.error()));
    const double actual = mtime_ms(*info);
    if (std::fabs(actual - *expected_mtime) > 100) {
      return std::unexpected("Note was modified since read: expectedMtime " + plain_decimal(*expected_mtime) +
                             " but on-disk mtimeMs is " + plain_decimal(actual) + ". Re-read the note and retry.");
    }
  }
  if (auto saved = vault::save_note_file(path, content); !saved) return std::unexpected(saved.error());
  auto info = platform::fs().metadata(path);
  if (!info) return std::unexpected(file_failure_message("stat note", path, info.error()));
  return WriteRecord{std::move(located->relative), display_path(path), mtime_ms(*info)};
}

Expected<WriteRecord> append_to_note_in_vault(const std::string& vault, const std::string& note_path,
                                              const std::string& text) {
  auto located = locate_note(vault, note_path);
  if (!located) return std::unexpected(located.error());
  const std::string& path = located->canonical_path;
  if (text.size() >= frontmatter::kTripwireMinBytes) {
    const std::optional<std::string> previous = vault::read_previous_text(path);
    const std::string result = previous ? *previous + text : text;
    const auto hit = frontmatter::check_tripwire(previous ? std::optional<std::string_view>(*previous) : std::nullopt,
                                                 result);
    if (hit) return std::unexpected(frontmatter::tripwire_message(*hit));
  }
  auto file = platform::fs().open(path, platform::OpenMode::append_existing);
  if (!file) return std::unexpected(file_failure_message("append to note", path, file.error()));
  // A write that fails part way (a full disk) is undone: the note goes back
  // to its length before the append, so no fragment of the text stays in it.
  const auto before = platform::fs().file_metadata(*file);
  if (!before) return std::unexpected(file_failure_message("append to note", path, before.error()));
  if (auto w = platform::fs().write_all(*file, text); !w) {
    static_cast<void>(platform::fs().truncate(*file, before->size));
    return std::unexpected(file_failure_message("append to note", path, w.error()));
  }
  auto info = platform::fs().metadata(path);
  if (!info) return std::unexpected(file_failure_message("stat note", path, info.error()));
  return WriteRecord{std::move(located->relative), display_path(path), mtime_ms(*info)};
}

// --- Walking and searching --------------------------------------------------

NoteWalker::NoteWalker(std::string folder) : root_(std::move(folder)) {}

bool NoteWalker::link_stays_inside(const std::string& path) {
  if (!canonical_root_known_) {
    canonical_root_known_ = true;
    if (auto c = platform::fs().canonicalize(root_)) canonical_root_ = std::move(*c);
  }
  auto target = platform::fs().canonicalize(path);
  // A dangling link is listed: reading it reports the missing file.
  if (!target) return true;
  return canonical_root_ && strictly_inside(*canonical_root_, *target);
}

Expected<std::optional<std::string>> NoteWalker::next() {
  if (!started_) {
    started_ = true;
    auto dir = platform::fs().open_dir(root_);
    if (!dir) return std::unexpected(file_failure_message("read directory", root_, dir.error()));
    stack_.push_back(Level{root_, std::move(*dir)});
  }
  while (!stack_.empty()) {
    Level& level = stack_.back();
    auto entry = platform::fs().next_entry(level.dir, level.path);
    if (!entry) {
      stack_.clear();
      return std::unexpected("Failed to read directory entry: " + entry.error().message());
    }
    if (!*entry) {
      stack_.pop_back();
      continue;
    }
    const platform::DirEntry& e = **entry;
    if (e.name.starts_with('.')) continue;
    std::string path = join_path(level.path, e.name);
    if (e.type == platform::EntryType::directory) {
      auto dir = platform::fs().open_dir(path);
      if (!dir) {
        stack_.clear();
        return std::unexpected(file_failure_message("read directory", path, dir.error()));
      }
      stack_.push_back(Level{std::move(path), std::move(*dir)});
      continue;
    }
    if (!ends_with(e.name, ".md")) continue;
    if (e.type == platform::EntryType::symlink && !link_stays_inside(path)) continue;
    return std::optional<std::string>(std::move(path));
  }
  return std::optional<std::string>();
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
  std::string text;
  std::string lower_text;
  std::string lower_title;
  while (hits.size() < limit) {
    auto next = walker.next();
    if (!next) return std::unexpected(next.error());
    if (!*next) return hits;
    const std::string& note = **next;
    if (auto r = read_text(note, text); !r) {
      std::string failure = file_failure_message("read note", note, r.error());
      if (auto rest = finish_walk(walker); !rest) return std::unexpected(rest.error());
      return std::unexpected(std::move(failure));
    }
    const std::string stem = file_stem(note);
    // The frontmatter counts only through its tags and its `_title`: it is
    // parsed when one is wanted and the header may hold it, and the title is
    // made only when a term is missing from the text or the note is a hit.
    std::optional<ParsedNote> parsed;
    if (!wanted.empty()) {
      if (!frontmatter_may_have_member(text, "tags")) continue;
      parsed = parse_note_text(text);
      if (!has_all_tags(note_tag_list(parsed->frontmatter), wanted)) continue;
    }
    std::optional<std::string> title;
    auto make_title = [&] {
      if (!parsed && frontmatter_may_have_member(text, "_title")) parsed = parse_note_text(text);
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
    return std::string(body.substr(0, unicode::byte_offset_of_char(body, 120)));
  }
  const std::size_t i = unicode::char_count(std::string_view(lower).substr(0, at));
  const std::size_t m = unicode::char_count(needle);
  // Positions counted in the lower-cased body are applied to the body itself;
  // where lower-casing changed the length they are clamped to the body.
  const std::size_t s = std::min(i >= 40 ? i - 40 : 0, n);
  const std::size_t e = std::min(n, i + m + 80);
  const std::size_t from = unicode::byte_offset_of_char(body, s);
  const std::size_t to = unicode::byte_offset_of_char(body, std::max(s, e));
  std::string snippet;
  if (i > 40) snippet += "...";
  snippet.append(body.substr(from, to - from));
  if (i + m + 80 < n) snippet += "...";
  return snippet;
}

// --- Vault context ----------------------------------------------------------

namespace {

// Reads `path` as UTF-8 text into `out` only when it resolves to a place
// strictly inside the vault folder `vault`: a file reached through a link
// that leads out of the vault counts as unreadable, like a missing one.
bool read_inside_vault(const std::string& vault, const std::string& path, std::string& out) {
  const auto root = platform::fs().canonicalize(vault);
  if (!root) return false;
  const auto target = platform::fs().canonicalize(path);
  if (!target || !strictly_inside(*root, *target)) return false;
  return read_text(*target, out).has_value();
}

}  // namespace

std::optional<Json> agent_instructions(const std::string& vault) {
  const std::string path = join_path(vault, "AGENTS.md");
  std::string text;
  if (!read_inside_vault(vault, path, text)) return std::nullopt;
  Json record = Json::object();
  record["content"] = std::move(text);
  record["path"] = path;
  return record;
}

namespace {

struct RecentEntry {
  std::string note;  // the walked path, for a second read
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
  std::string bytes;
  std::string repaired;
  while (true) {
    auto next = walker.next();
    if (!next) return std::unexpected(next.error());
    if (!*next) break;
    const std::string& note = **next;
    ++note_count;
    platform::FileInfo info;
    if (auto r = platform::fs().read_file_prefix(note, kContextPrefixBytes, bytes, info); !r) {
      std::string failure = file_failure_message("read note", note, r.error());
      if (auto rest = finish_walk(walker); !rest) return std::unexpected(rest.error());
      return std::unexpected(std::move(failure));
    }
    // Ill-formed sequences (a character cut at the end of the prefix too)
    // read as U+FFFD.
    std::string_view text = bytes;
    if (!unicode::is_valid_utf8(bytes)) {
      repaired = unicode::lossy_utf8(bytes);
      text = repaired;
    }
    const ParsedNote parsed = parse_note_text(text);
    std::vector<std::string> note_tags = note_tag_list(parsed.frontmatter);
    for (const auto& t : note_tags) tags.insert(t);
    std::string path = relative_to_vault(vault, note);
    if (const auto slash = path.find('/'); slash != std::string::npos) folders.insert(path.substr(0, slash + 1));

    const double mtime = mtime_ms(info);
    if (!enters_recent(recent, mtime)) continue;
    RecentEntry entry;
    const std::string stem = file_stem(note);
    entry.title = title_of(parsed.frontmatter, text, stem);
    entry.rederive = info.size > kContextPrefixBytes && entry.title == stem;
    entry.note = note;
    entry.path = std::move(path);
    entry.tags = std::move(note_tags);
    entry.mtime = mtime;
    keep_recent(recent, std::move(entry));
  }

  // A large note whose title was not found in its first part: the whole text decides.
  std::string full;
  for (RecentEntry& entry : recent) {
    if (!entry.rederive) continue;
    if (auto r = read_text(entry.note, full); !r) {
      return std::unexpected(file_failure_message("read note", entry.note, r.error()));
    }
    entry.title = note_title(full, file_stem(entry.note));
  }

  Json config = Json::object();
  if (auto agents_path = note_candidate(vault, "config/agents.md")) {
    std::string agents;
    if (read_inside_vault(vault, *agents_path, agents)) config["agents"] = std::move(agents);
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

// --- Tool handlers ----------------------------------------------------------

ToolOutcome get_note_tool(ToolService& service, const Json& arguments) {
  auto note_path = note_path_arg(arguments);
  if (!note_path) return std::unexpected(note_path.error());
  auto vault = chosen_vault(service, arguments);
  if (!vault) return std::unexpected(vault.error());
  auto record = read_note(*vault, *note_path);
  if (!record) return std::unexpected(record.error());
  Json result = Json::object();
  result["content"] = std::move(record->content);
  result["frontmatter"] = std::move(record->frontmatter);
  result["mtimeMs"] = mtime_json(record->mtime_ms);
  result["path"] = std::move(record->path);
  result["vaultLabel"] = vault_label(*vault);
  result["vaultPath"] = *vault;
  return text_result(pretty_json(result));
}

ToolOutcome create_note_tool(ToolService& service, const Json& arguments) {
  auto vault = write_vault(service, arguments);
  if (!vault) return std::unexpected(vault.error());
  auto note_path = resolve_note_path(arguments, *vault);
  if (!note_path) return std::unexpected(note_path.error());
  std::string text;
  const auto content = optional_text_arg(arguments, "content");
  if (content && !unicode::trim(*content).empty()) {
    text = *content;
  } else {
    std::vector<std::string> tags;
    for (const auto& tag : text_list_arg(arguments, "tags")) {
      const std::string_view trimmed = unicode::trim(tag);
      if (!trimmed.empty()) tags.emplace_back(trimmed);
    }
    const std::optional<std::string> title = optional_text_arg(arguments, "title");
    text = vault::new_note_text(vault::new_note_title(title ? std::optional<std::string_view>(*title) : std::nullopt,
                                                      *note_path),
                                tags);
  }
  auto record = create_note_in_vault(*vault, *note_path, text);
  if (!record) return std::unexpected(record.error());
  const std::string target = join_normalize(*vault, record->path);
  service.notifier->notify("vault_changed", Json{{"path", target}});
  service.notifier->notify("open_tab", Json{{"path", target}});
  return text_result(pretty_json(write_result(*record, *vault, false)));
}

namespace {

// update_note and append_to_note: vault, note path and content, then the
// operation, then "vault_changed" for the note.
template <class Operation>
ToolOutcome change_note_tool(ToolService& service, const Json& arguments, Operation operation) {
  auto vault = write_vault(service, arguments);
  if (!vault) return std::unexpected(vault.error());
  auto note_path = resolve_note_path(arguments, *vault);
  if (!note_path) return std::unexpected(note_path.error());
  auto content = required_content_arg(arguments);
  if (!content) return std::unexpected(content.error());
  Expected<WriteRecord> record = operation(*vault, *note_path, *content);
  if (!record) return std::unexpected(record.error());
  service.notifier->notify("vault_changed", Json{{"path", join_normalize(*vault, record->path)}});
  return text_result(pretty_json(write_result(*record, *vault, true)));
}

}  // namespace

ToolOutcome update_note_tool(ToolService& service, const Json& arguments) {
  const std::optional<double> expected = optional_number_arg(arguments, "expectedMtime");
  return change_note_tool(service, arguments, [&](const std::string& vault, const std::string& path,
                                                  const std::string& content) {
    return update_note_in_vault(vault, path, content, expected);
  });
}

ToolOutcome append_to_note_tool(ToolService& service, const Json& arguments) {
  return change_note_tool(service, arguments, append_to_note_in_vault);
}

ToolOutcome search_notes_tool(ToolService& service, const Json& arguments) {
  const std::string query = optional_text_arg(arguments, "query").value_or("");
  std::uint64_t limit = 10;
  if (const auto n = optional_number_arg(arguments, "limit"); n && *n > 0) {
    constexpr auto kMax = static_cast<double>(std::numeric_limits<std::uint64_t>::max());
    limit = *n >= kMax ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(*n);
  }
  const std::vector<std::string> tags = text_list_arg(arguments, "tags");
  auto active = active_vaults(service);
  if (!active) return std::unexpected(active.error());
  const std::string& vault = active->front();
  auto hits = search_vault(vault, query, limit, tags);
  if (!hits) return std::unexpected(hits.error());
  if (hits->empty()) return text_result("No matching notes found.");
  const std::string label = vault_label(vault);
  std::string text;
  for (const SearchHit& hit : *hits) {
    if (!text.empty()) text += "\n\n";
    text += "**" + hit.title + "** (" + label + " / " + hit.path + ")\n" + hit.snippet;
  }
  return text_result(std::move(text));
}

ToolOutcome get_vault_context_tool(ToolService& service, const Json& arguments) {
  auto active = active_vaults(service);
  if (!active) return std::unexpected(active.error());
  auto named = vault_path_arg(service, arguments);
  if (!named) return std::unexpected(named.error());
  const std::string& vault = *named ? **named : active->front();
  auto context = vault_context(vault);
  if (!context) return std::unexpected(context.error());
  auto instructions = agent_instructions(vault);
  (*context)["agentInstructions"] = instructions ? std::move(*instructions) : Json(nullptr);
  return text_result(pretty_json(*context));
}
