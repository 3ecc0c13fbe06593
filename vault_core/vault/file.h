// Note files: the one place that writes a whole note (an exclusive create and
// a save that never leaves a note half written), and the text of new notes:
// the template, the `_id` and `_date` stamp and the single-field editor.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace vault {

// --- Note file store ----------------------------------------------------------

// The word that stands in a store failure message.
enum class StoreAction { save, create };

// "Failed to {action} {path}: {error}" with the platform's description of the
// error; for an invalid-argument error (EINVAL) or a path holding a NUL byte
// instead "Failed to {action} note: the path is invalid on this platform.
// Rename the note or move it to a valid folder, then try again. Path: {path}".
std::string store_failure_message(StoreAction action, std::string_view path, const std::error_code& error);

// Creates the note file `path` with `content`; never replaces an existing file.
// Creates missing folders first. Errors: "Parent directory does not exist:
// {parent}", "File is read-only: {path}", the tripwire message, "File already
// exists: {path}", or a store failure message ("create" for folders and
// opening, "save" for writing; a file that cannot be written is removed).
[[nodiscard]] std::expected<void, std::string> create_new_note_file(const std::string& path,
                                                                    std::string_view content);

// Replaces the content of the note file `path` (created when missing). The new
// content goes to a temporary sibling that is flushed, given the note's
// permission bits and renamed over the note, so the note holds either the old
// or the new content, never a mix; the temporary file never outlives the
// call. Permission-denied failures are retried after 25, 50, 100 and 200 ms.
// Errors as for create_new_note_file, except "File already exists", with the
// action "save".
[[nodiscard]] std::expected<void, std::string> save_note_file(const std::string& path, std::string_view content);

// The content of the file when it can be read and is valid UTF-8; nothing
// otherwise (missing, unreadable, not UTF-8). The previous text that the write
// tripwire compares with.
std::optional<std::string> read_previous_text(const std::string& path);

// --- New-note template --------------------------------------------------------

// The title of a template note: `title` trimmed when it is not blank, else the
// file stem of `note_path` ("projects/Big idea.md" gives "Big idea", ".env"
// stays whole), else `note_path` itself when it has no last component.
std::string new_note_title(std::optional<std::string_view> title, std::string_view note_path);

// "---\n", a "tags: [...]" line of JSON string literals when there are tags,
// "---\n\n# {title}\n". `tags` are already trimmed and non-blank.
std::string new_note_text(std::string_view title, std::span<const std::string> tags);

// The identifier that the 16 random bytes give: they become a version-4 UUID
// (version and variant bits set), read as a big-endian 128-bit number v, and
// character i is "0123456789abcdefghijklmnopqrstuvwxyz"[(v >> 6i) % 36] for
// i = 0..6. Nothing when the result lacks a letter or a digit.
std::optional<std::string> note_id_from_random(std::array<unsigned char, 16> random);

// A fresh 7-character identifier with at least one letter and one digit,
// drawn from the secure random source. Fails only when that source fails.
[[nodiscard]] std::expected<std::string, std::string> new_note_id();

// `text` with the fields `_id` (a fresh identifier) and `_date` (the local
// time as "%Y-%m-%d %H:%M:%S") set; a text whose frontmatter is never closed
// is returned unchanged. Fails only when no identifier can be drawn.
[[nodiscard]] std::expected<std::string, std::string> stamp_new_note(std::string_view text);

// The same with a given identifier and date text.
std::string stamp_new_note(std::string_view text, std::string_view id, std::string_view date);

// `text` with the frontmatter field `key` set to `value`: every line with that
// key (ASCII case-insensitive, quotes allowed) is replaced together with its
// indented continuation lines, or the field is appended; a text without
// frontmatter gets a new block. The block keeps its line breaks ("\n" or
// "\r\n"). Error: "Malformed frontmatter: no closing ---".
[[nodiscard]] std::expected<std::string, std::string> set_frontmatter_field(std::string_view text,
                                                                           std::string_view key,
                                                                           std::string_view value);

}  // namespace vault
