// Note file store and new-note template.
#include "vault_core/vault/file.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

#include "vault_core/frontmatter/numbers.h"
#include "vault_core/frontmatter/split.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"
#include "vault_core/unicode/unicode.h"
#include "vault_core/vault/tripwire.h"

namespace vault {
namespace {

using platform::fs;

std::string_view action_word(StoreAction action) { return action == StoreAction::save ? "save" : "create"; }

std::unexpected<std::string> failure(StoreAction action, std::string_view path, const std::error_code& error) {
  return std::unexpected(store_failure_message(action, path, error));
}

// The check both store writers make first: a file in the note's place must
// not be read-only. Returns its metadata when there is one.
std::expected<std::optional<platform::FileInfo>, std::string> check_writable(const NoteTarget& note) {
  const auto info = fs().metadata_at(note.folder, note.name);
  if (!info) return std::nullopt;
  if (info->read_only) return std::unexpected("File is read-only: " + std::string(note.path));
  return *info;
}

// Why a file of `type` cannot be written as a note: a folder, or a FIFO,
// socket or device (which a write could block on or never reach a disk).
std::optional<std::error_code> not_a_note_file(platform::FileType type) {
  if (type == platform::FileType::directory) return std::make_error_code(std::errc::is_a_directory);
  if (type != platform::FileType::regular) return make_error_code(platform::Failure::not_regular_file);
  return std::nullopt;
}

// ".{name}.tarnel-save-{pid}.tmp" beside the note: hidden and not ending in
// ".md", so no walk lists it. A long name is shortened (at a character
// boundary) so that the temporary name stays within the file-name limit.
std::string temporary_name(std::string_view name) {
  constexpr std::size_t kMaxNameBytes = 200;
  if (name.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut);
  }
  std::string temp = ".";
  temp += name;
  temp += ".tarnel-save-" + std::to_string(platform::process_id()) + ".tmp";
  return temp;
}

// The temporary file, created afresh: a stale one left by an earlier crash of
// a process with the same id is removed first. It is the owner's alone when
// it is to be given the permissions of the file it replaces, so that no one
// reads it before it has them.
platform::Result<platform::File> open_temporary(platform::Dir& folder, std::string_view name, bool owner_only) {
  const auto mode = owner_only ? platform::OpenMode::create_private : platform::OpenMode::create_new;
  auto file = fs().open_at(folder, name, mode, platform::Links::refuse);
  if (!file && platform::is_already_exists(file.error()) && fs().remove_at(folder, name)) {
    file = fs().open_at(folder, name, mode, platform::Links::refuse);
  }
  return file;
}

}  // namespace

std::string store_failure_message(StoreAction action, std::string_view path, const std::error_code& error) {
  std::string message = "Failed to ";
  message += action_word(action);
  if (platform::is_invalid_argument(error) || path.find('\0') != std::string_view::npos) {
    message += " note: the path is invalid on this platform. Rename the note or move it to a valid folder, then try "
               "again. Path: ";
    message += path;
    return message;
  }
  message += ' ';
  message += path;
  message += ": ";
  message += error.message();
  return message;
}

std::string file_failure_message(std::string_view action, std::string_view path, const std::error_code& error) {
  if (platform::is_not_found(error)) return "File does not exist: " + std::string(path);
  if (platform::is_already_exists(error)) return "File already exists: " + std::string(path);
  return "Failed to " + std::string(action) + " " + std::string(path) + ": " + error.message();
}

std::optional<std::string> tripwire_refusal(std::optional<std::string_view> previous, std::string_view text) {
  if (text.size() < kTripwireMinBytes) return std::nullopt;
  const auto hit = check_tripwire(previous, text);
  if (!hit) return std::nullopt;
  return tripwire_message(*hit);
}

std::optional<std::string> read_previous_text(const NoteTarget& note) {
  auto file = fs().open_at(note.folder, note.name, platform::OpenMode::read, platform::Links::refuse);
  if (!file) return std::nullopt;
  auto content = fs().read(*file);
  if (!content || !unicode::is_valid_utf8(content->bytes)) return std::nullopt;
  return std::move(content->bytes);
}

namespace {

constexpr unsigned kRetryDelaysMs[] = {25, 50, 100, 200};  // at most five attempts

std::expected<void, ReplaceFailure> replace_once(platform::Dir& folder, std::string_view name,
                                                 std::string_view temporary_name, std::string_view content,
                                                 std::optional<platform::Permissions> permissions) {
  auto file = open_temporary(folder, temporary_name, permissions.has_value());
  if (!file) return std::unexpected(ReplaceFailure{ReplaceStep::temporary, file.error()});
  platform::Result<void> written = permissions ? fs().set_permissions(*file, *permissions) : platform::Result<void>();
  if (written) written = fs().write_all(*file, content);
  if (written) written = fs().sync(*file);
  if (written) written = fs().close(*file);
  if (!written) {
    static_cast<void>(fs().close(*file));
    static_cast<void>(fs().remove_at(folder, temporary_name));
    return std::unexpected(ReplaceFailure{ReplaceStep::temporary, written.error()});
  }
  if (auto renamed = fs().rename_at(folder, temporary_name, name); !renamed) {
    static_cast<void>(fs().remove_at(folder, temporary_name));
    return std::unexpected(ReplaceFailure{ReplaceStep::rename, renamed.error()});
  }
  return {};
}

}  // namespace

std::expected<void, ReplaceFailure> replace_file(platform::Dir& folder, std::string_view name,
                                                 std::string_view temporary_name, std::string_view content,
                                                 std::optional<platform::Permissions> permissions) {
  for (std::size_t attempt = 0;; ++attempt) {
    auto replaced = replace_once(folder, name, temporary_name, content, permissions);
    if (replaced || !platform::is_permission_denied(replaced.error().error) || attempt == std::size(kRetryDelaysMs)) {
      return replaced;
    }
    platform::clock().sleep_ms(kRetryDelaysMs[attempt]);
  }
}

std::expected<void, std::string> create_new_note_file(const NoteTarget& note, std::string_view content) {
  if (auto existing = check_writable(note); !existing) return std::unexpected(existing.error());
  if (auto refused = tripwire_refusal(std::nullopt, content)) return std::unexpected(std::move(*refused));
  auto file = fs().open_at(note.folder, note.name, platform::OpenMode::create_new, platform::Links::refuse);
  if (!file) {
    if (platform::is_already_exists(file.error())) return std::unexpected("File already exists: " + std::string(note.path));
    return failure(StoreAction::create, note.path, file.error());
  }
  platform::Result<void> written = fs().write_all(*file, content);
  if (written) written = fs().close(*file);
  if (!written) {
    // Remove the file this call created, so that a retry can create it again.
    static_cast<void>(fs().close(*file));
    static_cast<void>(fs().remove_at(note.folder, note.name));
    return failure(StoreAction::save, note.path, written.error());
  }
  return {};
}

std::expected<void, std::string> save_note_file(const NoteTarget& note, std::string_view content) {
  const auto existing = check_writable(note);
  if (!existing) return std::unexpected(existing.error());
  if (*existing) {
    if (auto error = not_a_note_file((*existing)->type)) return failure(StoreAction::save, note.path, *error);
  }
  if (content.size() >= kTripwireMinBytes) {
    const std::optional<std::string> previous = read_previous_text(note);
    if (auto refused = tripwire_refusal(previous, content)) return std::unexpected(std::move(*refused));
  }
  const std::optional<platform::Permissions> permissions =
      *existing ? std::optional((*existing)->permissions) : std::nullopt;
  const std::string temp = temporary_name(note.name);
  const auto replaced = replace_file(note.folder, note.name, temp, content, permissions);
  if (!replaced) return failure(StoreAction::save, note.path, replaced.error().error);
  return {};
}

std::expected<void, std::string> append_note_file(const NoteTarget& note, std::string_view text) {
  if (text.size() >= kTripwireMinBytes) {
    const std::optional<std::string> previous = read_previous_text(note);
    const std::string result = previous ? *previous + std::string(text) : std::string(text);
    if (auto refused = tripwire_refusal(previous, result)) return std::unexpected(std::move(*refused));
  }
  const auto fail = [&](const std::error_code& error) {
    return std::unexpected(file_failure_message("append to note", note.path, error));
  };
  // A FIFO would refuse to open without a reader, with an obscure error; its
  // type says it plainly. The type of what opens is checked again below.
  if (const auto info = fs().metadata_at(note.folder, note.name)) {
    if (auto error = not_a_note_file(info->type)) return fail(*error);
  }
  auto file = fs().open_at(note.folder, note.name, platform::OpenMode::append_existing, platform::Links::refuse);
  if (!file) return fail(file.error());
  const auto before = fs().file_metadata(*file);
  if (!before) return fail(before.error());
  if (auto error = not_a_note_file(before->type)) return fail(*error);
  // A write that fails part way (a full disk) is undone: the note goes back
  // to its length before the append, so no fragment of the text stays in it.
  if (auto written = fs().write_all(*file, text); !written) {
    static_cast<void>(fs().truncate(*file, before->size));
    return fail(written.error());
  }
  return {};
}

// --- Note text ---------------------------------------------------------------

namespace {

// The lines of `text` split at "\n", each without a "\r" in front of its
// "\n"; no empty line after a final "\n".
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf == std::string_view::npos) {
      lines.push_back(line);
      break;
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(lf + 1);
  }
  return lines;
}

// The key of a frontmatter line: the quoted text of a line that opens with a
// quote and has ":" after the closing quote, or the trimmed text before the
// first ":". Nothing for a line without one, or an empty key.
std::optional<std::string_view> line_key(std::string_view line) {
  const std::string_view l = unicode::trim_start(line);
  std::string_view key;
  if (l.starts_with('\'') || l.starts_with('"')) {
    const std::size_t close = l.find(l[0], 1);
    if (close == std::string_view::npos || !unicode::trim_start(l.substr(close + 1)).starts_with(':')) {
      return std::nullopt;
    }
    key = l.substr(1, close - 1);
  } else {
    const std::size_t colon = l.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    key = unicode::trim(l.substr(0, colon));
  }
  if (key.empty()) return std::nullopt;
  return key;
}

bool needs_quotes(std::string_view value) {
  return value.find_first_of(":#") != std::string_view::npos || value.starts_with('[') || value.starts_with('{') ||
         value == "true" || value == "false" || value == "null" || frontmatter::reads_as_decimal_float(value);
}

// "{key}: {value}" with the value as a literal block when it spans lines,
// double-quoted when it would otherwise read as something else, else bare.
std::string field_line(std::string_view key, std::string_view value) {
  std::string line(key);
  line += ": ";
  if (value.find('\n') != std::string_view::npos) {
    line += '|';
    for (std::string_view part : split_lines(value)) {
      line += '\n';
      if (!part.empty()) {
        line += "  ";
        line += part;
      }
    }
  } else if (needs_quotes(value)) {
    line += '"';
    for (char c : value) {
      if (c == '"') line += '\\';
      line += c;
    }
    line += '"';
  } else {
    line += value;
  }
  return line;
}

}  // namespace

std::string new_note_title(std::optional<std::string_view> title, std::string_view note_path) {
  if (title) {
    const std::string_view trimmed = unicode::trim(*title);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  // The last path component, ignoring trailing separators and "." components.
  std::string_view path = note_path;
  while (true) {
    if (path.size() > 1 && path.ends_with('/')) {
      path.remove_suffix(1);
    } else if (path.ends_with("/.")) {
      path.remove_suffix(2);
    } else {
      break;
    }
  }
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::string(note_path);
  const std::size_t dot = name.rfind('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

std::string new_note_text(std::string_view title, std::span<const std::string> tags) {
  std::string text = "---\n";
  if (!tags.empty()) {
    text += "tags: [";
    for (std::size_t i = 0; i < tags.size(); ++i) {
      if (i > 0) text += ", ";
      text += nlohmann::json(tags[i]).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    text += "]\n";
  }
  text += "---\n\n# ";
  text += title;
  text += '\n';
  return text;
}

std::optional<std::string> note_id_from_random(std::array<unsigned char, 16> random) {
  random[6] = static_cast<unsigned char>((random[6] & 0x0F) | 0x40);  // version 4
  random[8] = static_cast<unsigned char>((random[8] & 0x3F) | 0x80);  // RFC 4122 variant
  // The 128-bit number in two halves.
  std::uint64_t hi = 0;
  std::uint64_t lo = 0;
  for (std::size_t i = 0; i < 8; ++i) hi = (hi << 8) | random[i];
  for (std::size_t i = 8; i < 16; ++i) lo = (lo << 8) | random[i];
  static constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string id;
  bool letter = false;
  bool digit = false;
  for (unsigned i = 0; i < 7; ++i) {
    // (v >> 6i) % 36, with the shifted halves: (high * 2^64 + low) % 36, and
    // 2^64 % 36 is 16.
    const unsigned shift = 6 * i;
    const std::uint64_t shifted_hi = hi >> shift;
    const std::uint64_t shifted_lo = shift == 0 ? lo : (lo >> shift) | (hi << (64 - shift));
    const char c = kAlphabet[((shifted_hi % 36) * 16 + shifted_lo % 36) % 36];
    (c <= '9' ? digit : letter) = true;
    id += c;
  }
  if (!letter || !digit) return std::nullopt;
  return id;
}

std::expected<std::string, std::string> new_note_id() {
  while (true) {
    std::array<unsigned char, 16> random{};
    if (auto drawn = platform::secure_random(random.data(), random.size()); !drawn) {
      return std::unexpected("Failed to generate a note id: " + drawn.error().message());
    }
    if (auto id = note_id_from_random(random)) return std::move(*id);
  }
}

std::expected<std::string, std::string> stamp_new_note(std::string_view text) {
  const auto id = new_note_id();
  if (!id) return std::unexpected(id.error());
  return stamp_new_note(text, *id, platform::local_time_text("%Y-%m-%d %H:%M:%S"));
}

std::string stamp_new_note(std::string_view text, std::string_view id, std::string_view date) {
  std::string stamped(text);
  if (auto with_id = set_frontmatter_field(stamped, "_id", id)) stamped = std::move(*with_id);
  if (auto with_date = set_frontmatter_field(stamped, "_date", date)) stamped = std::move(*with_date);
  return stamped;
}

std::expected<std::string, std::string> set_frontmatter_field(std::string_view text, std::string_view key,
                                                              std::string_view value) {
  const std::string field = field_line(key, value);
  const frontmatter::FrontmatterSplit split = frontmatter::split_frontmatter(text);
  if (std::holds_alternative<frontmatter::NoFrontmatter>(split)) {
    std::string out = "---\n" + field + "\n---\n";
    out += text;
    return out;
  }
  if (std::holds_alternative<frontmatter::Unclosed>(split)) {
    return std::unexpected(std::string("Malformed frontmatter: no closing ---"));
  }
  const auto& block = std::get<frontmatter::Split>(split);

  const std::string wanted = unicode::ascii_lower(unicode::trim(key));
  const std::vector<std::string_view> lines = split_lines(block.frontmatter);
  std::vector<std::string_view> kept;
  kept.reserve(lines.size() + 1);
  bool matched = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::optional<std::string_view> line_name = line_key(lines[i]);
    if (!line_name || unicode::ascii_lower(unicode::trim(*line_name)) != wanted) {
      kept.push_back(lines[i]);
      continue;
    }
    // Drop the matching line with its nested or continued value.
    while (i + 1 < lines.size() &&
           (lines[i + 1].empty() || lines[i + 1].starts_with("  ") || lines[i + 1].starts_with('\t'))) {
      ++i;
    }
    kept.push_back(field);
    matched = true;
  }
  if (!matched) kept.push_back(field);

  std::string out = "---";
  out += block.newline;
  for (std::string_view line : kept) {
    out += line;
    out += block.newline;
  }
  out += "---";
  out += block.body;
  return out;
}

}  // namespace vault
