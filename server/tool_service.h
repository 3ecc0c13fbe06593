// ToolService (the server state), the tools/call dispatcher, the tool result
// forms and the argument helpers that every tool handler shares.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/ui_actions.h"
#include "vault_core/platform/env.h"

namespace server {

using Json = nlohmann::json;

// The server state, alive for the whole process.
struct ToolService {
  ToolService(platform::EnvSnapshot environment, std::unique_ptr<UiNotifier> ui)
      : env(std::move(environment)), notifier(std::move(ui)) {}

  platform::EnvSnapshot env;                // captured at start, read-only
  std::optional<std::string> session_vault;  // set by attach_vault and clone_vault
  std::unique_ptr<UiNotifier> notifier;
};

// A tool result object on success, the agent-facing message on failure.
using ToolOutcome = std::expected<Json, std::string>;

// Runs the tool `name` with `arguments` (any JSON type). Unknown names give
// "Unknown tool: {name}".
ToolOutcome dispatch(ToolService& service, std::string_view name, const Json& arguments);

// The UI bridge port from the first WS_UI_PORT entry of `env`: an optional
// "+" and decimal digits up to 65535 after trimming; 9711 otherwise.
std::uint16_t ui_port_from_env(const platform::EnvSnapshot& env);

// --- Vault registration -----------------------------------------------------

// Registers the existing folder `path` (trimmed, absolute) in its canonical
// display form; returns the registry entry. Errors: "path is required",
// "path must be an absolute path", "Vault folder is not an accessible
// directory: ...", or the registry's messages.
std::expected<Json, std::string> attach_vault_folder(const std::string& path, const std::optional<std::string>& label);

// Clones `remote_url` with the system git into a temporary sibling of the
// (trimmed, absolute, not yet existing) destination, moves it into place and
// registers the destination as typed; returns the registry entry. The
// temporary folder never outlives a failure; a clone that cannot be
// registered stays at the destination.
std::expected<Json, std::string> clone_vault_repository(const std::string& remote_url,
                                                        const std::string& destination_path,
                                                        const std::optional<std::string>& label);

// --- Result forms -----------------------------------------------------------

// {"content":[{"text":text,"type":"text"}]}
Json text_result(std::string text);

// The JSON text with two-space indentation and sorted keys.
std::string pretty_json(const Json& value);

// True when arrays and objects in the JSON text nest deeper than 127 levels,
// the most the server accepts (deeper values would exhaust the stack when
// written). Brackets inside strings do not count; malformed text is left to
// the parser.
bool json_nesting_too_deep(std::string_view text);

// A modification time as a JSON number; null when not finite.
Json mtime_json(double mtime_ms);

// --- Argument helpers (lenient: a member of the wrong type counts as absent) --

// `path` trimmed; "Note path is required" when missing, not text or blank.
std::expected<std::string, std::string> note_path_arg(const Json& arguments);

// `content` untrimmed; "content is required" when missing, not text or empty.
std::expected<std::string, std::string> required_content_arg(const Json& arguments);

// The member when it is text, untrimmed.
std::optional<std::string> optional_text_arg(const Json& arguments, std::string_view name);

// The member when it is a JSON number, as a double.
std::optional<double> optional_number_arg(const Json& arguments, std::string_view name);

// The string elements of the member when it is an array, in order; empty otherwise.
std::vector<std::string> text_list_arg(const Json& arguments, std::string_view name);

}  // namespace server
