// Vault locations: the desktop application's vault registry (vaults.json in
// its configuration folder), the choice of the active vault, and the rules
// that turn a tool's `path` and `vaultPath` arguments into a vault and a note.
// The lexical path operations these rules use come from path_syntax.h.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/server_state.h"
#include "vault_core/paths/path_syntax.h"

namespace server {

// --- Vault registry -----------------------------------------------------------

inline constexpr std::string_view kRegistryFileName = "vaults.json";

// The comparison form of a registry path: as text, backslashes turned into
// forward slashes, trailing forward slashes removed while more than one
// character remains ("C:\Notes\" and "C:/Notes" share the key "C:/Notes").
std::string registry_path_key(std::string_view path);

// True when key `child` lies below key `parent`, ignoring letter case (full
// Unicode lower-casing) and trailing slashes; keys that are equal byte for
// byte, or empty once their trailing slashes are gone, are never nested.
bool registry_key_nested(std::string_view parent, std::string_view child);

// The registry object stored at `file`, with `vaults` and `hidden_defaults`
// made arrays; the default registry when the file or a folder on its path is
// missing. Errors: "Could not read tarnel vault registry: {error}" for a read
// error (the system's text), text that is not JSON, starts with a
// byte-order mark or holds a NUL byte (the parser's text with line and
// column), or nests deeper than 127 levels; "... registry: not an object"
// for any other JSON value.
[[nodiscard]] Expected<Json> read_registry(const std::string& file);

// Replaces `file` atomically with the registry: pretty JSON with sorted keys
// and a final line break, written to the sibling "vaults.{pid}.tmp", flushed
// and renamed over `file`; permission denied (another program holding the
// file open on Windows) is retried after 25, 50, 100 and 200 ms. The
// temporary file never outlives a failed call and `file` is only ever
// replaced whole. Errors: "Failed to create {folder}:
// {error}", "Failed to serialize the vault registry: {error}", "Failed to
// write {temporary file}: {error}", "Failed to write {file}: {error}" (rename).
[[nodiscard]] Expected<void> write_registry(const std::string& file, const Json& registry);

// The registry's `active_vault` trimmed, when it is non-blank text; nothing
// otherwise. Errors: those of the configuration folder and of read_registry.
[[nodiscard]] Expected<std::optional<std::string>> registry_active_vault();

// The registry entry for the vault root `root` (absolute, validated by the
// caller). An entry with the same key is returned as stored and nothing is
// written; otherwise {"label", "path"} is appended (label: `label` trimmed
// when not blank, else the root's final component, else its key) and the
// registry written to the configuration write location. Errors: those of the
// configuration folder, read_registry and write_registry, and "Vault path is
// inside registered vault or contains one: {root}" when a registered key
// nests with the new one either way.
[[nodiscard]] Expected<Json> register_vault(const std::string& root, const std::optional<std::string>& label);

// --- Active vault and tool arguments ------------------------------------------

// The vaults the tools may use (always exactly one): the session vault, else
// the trimmed non-blank VAULT_PATH of the environment snapshot, else the
// registry's active vault. Errors: the registry's, else "VAULT_PATH is
// required. Open a vault in tarnel before starting MCP tools."
[[nodiscard]] Expected<std::vector<std::string>> active_vaults(const ToolService& service);

// The trimmed `vaultPath` argument when it is non-blank text and equals an
// active vault byte for byte; nothing when absent, not text or blank.
// Errors: the active vaults' error, "Vault is not active in tarnel: {vaultPath}".
[[nodiscard]] Expected<std::optional<std::string>> vault_path_arg(const ToolService& service,
                                                                      const Json& arguments);

// The vault a write tool works in: the `vaultPath` argument when given, else
// the active vault once a note path argument is present. Errors: those of
// vault_path_arg, active_vaults, then "Note path is required".
[[nodiscard]] Expected<std::string> write_vault(const ToolService& service, const Json& arguments);

// The note path to use in `vault_root`: for an absolute `path` argument
// strictly inside the root, its portable text relative to the root
// ("C:\Notes\Sub\a.md" in "C:\Notes" gives "Sub/a.md"); otherwise the trimmed
// argument unchanged. Error: "Note path is required".
[[nodiscard]] Expected<std::string> resolve_note_path(const Json& arguments, const std::string& vault_root,
                                                          paths::PathSyntax syntax = paths::kNativeSyntax);

// The path a UI action names: an absolute `path` argument unchanged (no vault
// consulted); else the `vaultPath` vault, or the active vault, joined with
// the untrimmed `path` (paths::join_normalize; a missing or non-text `path` gives
// the vault root text itself). Errors: those of active_vaults and vault_path_arg.
[[nodiscard]] Expected<std::string> target_path(const ToolService& service, const Json& arguments,
                                                    paths::PathSyntax syntax = paths::kNativeSyntax);

// --- Registration: attach and clone ------------------------------------------

// Registers the existing folder `path` (trimmed, absolute) in its canonical
// display form; returns the registry entry. Errors: "path is required",
// "path must be an absolute path", "Vault folder is not an accessible
// directory: ...", or the registry's messages.
[[nodiscard]] Expected<Json> attach_vault_folder(const std::string& path, const std::optional<std::string>& label);

// Clones `remote_url` with the system git into a temporary sibling of the
// (trimmed, absolute, not yet existing) destination, moves it into place and
// registers the destination as typed; returns the registry entry. The
// temporary folder never outlives a failure; a clone that cannot be
// registered stays at the destination.
[[nodiscard]] Expected<Json> clone_vault_repository(const std::string& remote_url,
                                                        const std::string& destination_path,
                                                        const std::optional<std::string>& label);

}  // namespace server
