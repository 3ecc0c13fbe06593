// Note files: the one place that writes notes (an exclusive create, a save
// that never leaves a note half written, an append that never leaves part of
// its text, each behind the write tripwire) and the text of new notes: the
// template, the `_id` and `_date` stamp and the single-field editor.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "vault_core/platform/fs.h"

namespace vault {

// --- Note file store ----------------------------------------------------------
//
// Every write of a note goes through these functions. They work on a note
// that the caller has already confined to a vault: the folder that holds it
// is open (so no name on the way can change underneath), and the note is an
// entry of that folder. A link in the note's place is never followed.

// The note a writer works on: the open folder that holds it, its name in that
// folder, and its path as the messages show it.
struct NoteTarget {
  platform::Dir& folder;
  std::string_view name;
  std::string_view path;
};

// The word that stands in a store failure message.
enum class StoreAction { save, create };

// "Failed to {action} {path}: {error}" with the platform's description of the
// error; for an invalid-argument error (a name the platform refuses) or a
// path holding a NUL byte instead "Failed to {action} note: the path is
// invalid on this platform. Rename the note or move it to a valid folder,
// then try again. Path: {path}".
std::string store_failure_message(StoreAction action, std::string_view path, const std::error_code& error);

// "File does not exist: {path}" for a not-found error, "File already exists:
// {path}" for an already-exists error, else "Failed to {action} {path}:
// {error}": the message of every failed file operation on a note.
std::string file_failure_message(std::string_view action, std::string_view path, const std::error_code& error);

// The write tripwire of every writer: nothing when `text` may replace
// `previous` (nothing: no earlier version), else the refusal message
// "tarnel_tripwire: {rule} {details}". Texts under 512 bytes always pass.
std::optional<std::string> tripwire_refusal(std::optional<std::string_view> previous, std::string_view text);

// Creates the note with `content`; never replaces anything in its place.
// Errors: "File is read-only: {path}" when a read-only file is there, the
// tripwire message, "File already exists: {path}", or a store failure
// message ("create" for opening, "save" for writing; a file that cannot be
// written whole is removed again).
[[nodiscard]] std::expected<void, std::string> create_new_note_file(const NoteTarget& note, std::string_view content);

// Replaces the note's content (the note is created when missing): the new
// content goes to a temporary sibling that is flushed, given the note's
// permissions and renamed over the note, so the note holds either the old or
// the new content, never a mix, and the temporary file never outlives the
// call. Permission-denied failures are retried after 25, 50, 100 and 200 ms.
// Errors: "File is read-only: {path}", the tripwire message (judged against
// the current content), or a store failure message with the action "save".
[[nodiscard]] std::expected<void, std::string> save_note_file(const NoteTarget& note, std::string_view content);

// Appends `text` after the note's last byte; the note must exist and be a
// regular file. A text of 512 bytes or more is first judged by the tripwire
// against the note's content followed by it. A write that fails part way
// cuts the note back to its earlier length. Errors: the tripwire message, or
// file_failure_message with the action "append to note".
[[nodiscard]] std::expected<void, std::string> append_note_file(const NoteTarget& note, std::string_view text);

// The content of the note when it can be read and is valid UTF-8; nothing
// otherwise (missing, unreadable, not a regular file, not UTF-8). The
// previous text that the tripwire compares with.
std::optional<std::string> read_previous_text(const NoteTarget& note);

// Where a replacement failed: writing the temporary file, or renaming it
// over the target.
enum class ReplaceStep { temporary, rename };
struct ReplaceFailure {
  ReplaceStep step;
  std::error_code error;
};

// Replaces the file `name` of `folder` with `content` through the temporary
// sibling `temporary_name`: created afresh (a stale file of that name is
// removed first; a link there is never followed), given `permissions` when
// set, written, flushed to disk and renamed over `name`. A failure with
// permission denied is retried after 25, 50, 100 and 200 ms (on Windows a
// program that has the file open keeps it from being replaced for a moment).
// On failure the temporary file is removed and `name` is untouched.
[[nodiscard]] std::expected<void, ReplaceFailure> replace_file(platform::Dir& folder, std::string_view name,
                                                             std::string_view temporary_name, std::string_view content,
                                                             std::optional<platform::Permissions> permissions);

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
