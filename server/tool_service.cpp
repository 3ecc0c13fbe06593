// The dispatcher, result forms and argument helpers.
#include "server/tool_service.h"

#include <array>
#include <cmath>
#include <utility>

#include "server/json_text.h"
#include "server/vault_ops.h"
#include "server/vault_paths.h"
#include "vault_core/paths/path_syntax.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"
#include "vault_core/platform/process.h"
#include "vault_core/unicode/unicode.h"

namespace server {

namespace {

using Handler = ToolOutcome (*)(ToolService&, const Json&);

constexpr char kGetNote[] = "get_note";
constexpr char kCreateNote[] = "create_note";
constexpr char kUpdateNote[] = "update_note";
constexpr char kAppendToNote[] = "append_to_note";
constexpr char kSearchNotes[] = "search_notes";
constexpr char kGetVaultContext[] = "get_vault_context";
constexpr char kOpenNote[] = "open_note";
constexpr char kHighlightEditor[] = "highlight_editor";
constexpr char kRefreshVault[] = "refresh_vault";
constexpr char kListVaults[] = "list_vaults";
constexpr char kAttachVault[] = "attach_vault";
constexpr char kCloneVault[] = "clone_vault";

const Json* member(const Json& arguments, std::string_view name) {
  if (!arguments.is_object()) return nullptr;
  auto it = arguments.find(name);
  return it == arguments.end() ? nullptr : &*it;
}

// highlight_editor: asks the desktop application to highlight `element` (any
// text, not only the catalogue's values), passing `path` on as given. Reads no
// vault and cannot fail.
ToolOutcome highlight_editor(ToolService& service, const Json& arguments) {
  const std::string element = optional_text_arg(arguments, "element").value_or("undefined");
  const Json* path = member(arguments, "path");
  Json payload = Json::object();
  payload["element"] = element;
  payload["path"] = path != nullptr ? *path : Json(nullptr);
  service.notifier->notify("highlight", std::move(payload));
  return text_result("Highlighting " + element);
}

// --- Vault lifecycle and UI action tools ------------------------------------

// list_vaults: the active vault with where its AGENTS.md instructions are.
ToolOutcome list_vaults(ToolService& service, const Json&) {
  auto active = active_vaults(service);
  if (!active) return std::unexpected(active.error());
  Json vaults = Json::array();
  for (const std::string& root : *active) {
    const std::optional<Json> instructions = agent_instructions(root);
    Json entry = Json::object();
    entry["agentInstructionsPath"] = instructions ? (*instructions)["path"] : Json(nullptr);
    entry["hasAgentInstructions"] = instructions.has_value();
    entry["label"] = paths::vault_label(root);
    entry["path"] = root;
    vaults.push_back(std::move(entry));
  }
  return text_result(pretty_json(Json{{"vaults", std::move(vaults)}}));
}

// Makes the registered vault the session active vault and tells the desktop
// application; the registration result is the tool's answer.
ToolOutcome lifecycle_finish(ToolService& service, const Json& registration, const char* type) {
  const Json* path = member(registration, "path");
  if (path == nullptr || !path->is_string()) return std::unexpected("Vault lifecycle operation returned no path");
  service.session_vault = path->get<std::string>();
  service.notifier->notify("vault_registry_changed", Json{{"path", *path}, {"registrationType", type}});
  return text_result(pretty_json(registration));
}

ToolOutcome attach_vault(ToolService& service, const Json& arguments) {
  auto entry = attach_vault_folder(optional_text_arg(arguments, "path").value_or(""),
                                   optional_text_arg(arguments, "label"));
  if (!entry) return std::unexpected(entry.error());
  return lifecycle_finish(service, *entry, "attach");
}

ToolOutcome clone_vault(ToolService& service, const Json& arguments) {
  auto entry = clone_vault_repository(optional_text_arg(arguments, "remoteUrl").value_or(""),
                                      optional_text_arg(arguments, "destinationPath").value_or(""),
                                      optional_text_arg(arguments, "label"));
  if (!entry) return std::unexpected(entry.error());
  return lifecycle_finish(service, *entry, "clone");
}

// open_note: the target is sent as resolved; the desktop application decides
// what to do with it.
ToolOutcome open_note(ToolService& service, const Json& arguments) {
  auto target = target_path(service, arguments);
  if (!target) return std::unexpected(target.error());
  service.notifier->notify("vault_changed", Json{{"path", *target}});
  service.notifier->notify("open_tab", Json{{"path", *target}});
  return text_result("Opening " + *target + " in tarnel");
}

ToolOutcome refresh_vault(ToolService& service, const Json& arguments) {
  auto target = target_path(service, arguments);
  if (!target) return std::unexpected(target.error());
  service.notifier->notify("vault_changed", Json{{"path", *target}});
  return text_result("Vault refresh triggered");
}

struct Route {
  std::string_view name;
  Handler handler;
};

constexpr std::array<Route, 12> kRoutes{{
    {kGetNote, get_note_tool},
    {kCreateNote, create_note_tool},
    {kUpdateNote, update_note_tool},
    {kAppendToNote, append_to_note_tool},
    {kSearchNotes, search_notes_tool},
    {kGetVaultContext, get_vault_context_tool},
    {kOpenNote, open_note},
    {kHighlightEditor, highlight_editor},
    {kRefreshVault, refresh_vault},
    {kListVaults, list_vaults},
    {kAttachVault, attach_vault},
    {kCloneVault, clone_vault},
}};

}  // namespace

ToolOutcome dispatch(ToolService& service, std::string_view name, const Json& arguments) {
  for (const Route& route : kRoutes) {
    if (route.name == name) return route.handler(service, arguments);
  }
  return std::unexpected("Unknown tool: " + std::string(name));
}

std::uint16_t ui_port_from_env(const platform::EnvSnapshot& env) {
  constexpr std::uint16_t kDefault = 9711;
  const auto value = platform::snapshot_lookup(env, "WS_UI_PORT");
  if (!value) return kDefault;
  std::string_view text = unicode::trim(*value);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return kDefault;
  std::uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kDefault;
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
    if (port > 65535) return kDefault;
  }
  return static_cast<std::uint16_t>(port);
}

Json text_result(std::string text) {
  Json block = Json::object();
  block["text"] = std::move(text);
  block["type"] = "text";
  Json result = Json::object();
  result["content"] = Json::array({std::move(block)});
  return result;
}

std::string pretty_json(const Json& value) { return json_text(value, 2); }

bool json_nesting_too_deep(std::string_view text) {
  constexpr int kMaxDepth = 127;
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

Json mtime_json(double mtime_ms) { return std::isfinite(mtime_ms) ? Json(mtime_ms) : Json(nullptr); }

std::expected<std::string, std::string> note_path_arg(const Json& arguments) {
  const Json* path = member(arguments, "path");
  if (path != nullptr && path->is_string()) {
    const std::string_view trimmed = unicode::trim(path->get_ref<const std::string&>());
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::unexpected("Note path is required");
}

std::expected<std::string, std::string> required_content_arg(const Json& arguments) {
  const Json* content = member(arguments, "content");
  if (content != nullptr && content->is_string() && !content->get_ref<const std::string&>().empty()) {
    return content->get<std::string>();
  }
  return std::unexpected("content is required");
}

std::optional<std::string> optional_text_arg(const Json& arguments, std::string_view name) {
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<double> optional_number_arg(const Json& arguments, std::string_view name) {
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

std::vector<std::string> text_list_arg(const Json& arguments, std::string_view name) {
  std::vector<std::string> out;
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_array()) return out;
  for (const Json& element : *value) {
    if (element.is_string()) out.push_back(element.get<std::string>());
  }
  return out;
}

// --- The attach and clone operations ---------------------------------------

std::expected<Json, std::string> attach_vault_folder(const std::string& path, const std::optional<std::string>& label) {
  const std::string trimmed(unicode::trim(path));
  if (trimmed.empty()) return std::unexpected("path is required");
  if (!paths::is_absolute_path(trimmed)) return std::unexpected("path must be an absolute path");
  constexpr const char* kNotAccessible = "Vault folder is not an accessible directory: ";
  auto info = platform::fs().metadata(trimmed);
  if (!info) return std::unexpected(kNotAccessible + info.error().message());
  if (info->type != platform::FileType::directory) {
    return std::unexpected(kNotAccessible + trimmed + " is not a directory");
  }
  auto canonical = platform::fs().canonicalize(trimmed);
  if (!canonical) return std::unexpected(kNotAccessible + canonical.error().message());
  return register_vault(paths::display_path(unicode::lossy_utf8(*canonical)), label);
}

std::expected<Json, std::string> clone_vault_repository(const std::string& remote_url,
                                                        const std::string& destination_path,
                                                        const std::optional<std::string>& label) {
  const std::string url(unicode::trim(remote_url));
  if (url.empty()) return std::unexpected("remoteUrl is required");
  const std::string destination(unicode::trim(destination_path));
  if (destination.empty()) return std::unexpected("destinationPath is required");
  if (!paths::is_absolute_path(destination)) return std::unexpected("destinationPath must be an absolute path");
  if (platform::fs().metadata(destination)) return std::unexpected("Clone destination already exists: " + destination);
  const auto parent = paths::parent_path(destination);
  if (!parent || parent->empty()) return std::unexpected("Clone destination has no parent: " + destination);
  const std::string parent_text(*parent);
  if (auto made = platform::fs().create_directories(parent_text); !made) {
    return std::unexpected("Failed to create " + parent_text + ": " + made.error().message());
  }
  const auto name = paths::final_component(destination);
  const std::string folder_name = name ? unicode::lossy_utf8(*name) : std::string("tarnel-clone");
  const std::string clone_folder =
      paths::join_path(parent_text, "." + folder_name + ".tarnel-clone-" + std::to_string(platform::process_id()));
  auto discard_clone = [&] { (void)platform::fs().remove_all(clone_folder); };
  discard_clone();

  auto run = platform::run_process("git", {"clone", "--", url, clone_folder},
                                   {{"GIT_TERMINAL_PROMPT", "0"}, {"SSH_ASKPASS_REQUIRE", "never"}});
  if (!run) {
    discard_clone();
    return std::unexpected("Could not start git clone: " + run.error().message());
  }
  if (run->exit_code != 0) {
    std::string detail(unicode::trim(unicode::lossy_utf8(run->stderr_bytes)));
    if (detail.empty()) {
      detail = run->exit_code ? "exit code Some(" + std::to_string(*run->exit_code) + ")" : "exit code None";
    }
    discard_clone();
    return std::unexpected("Git clone failed: " + detail);
  }
  if (auto moved = platform::fs().rename(clone_folder, destination); !moved) {
    discard_clone();
    return std::unexpected("Failed to move the clone into place: " + moved.error().message());
  }
  return register_vault(destination, label);
}

}  // namespace server
