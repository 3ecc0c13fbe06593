// The tools: the twelve tool handlers and the dispatcher that routes a
// tools/call to them. Each handler reads its arguments, runs its operation,
// sends its UI actions only after the operation succeeded, and shapes the
// answer as a text result.
#include "server/tool_service.h"

#include <array>
#include <cstdint>
#include <limits>
#include <utility>

#include "server/tool_args.h"
#include "server/vault_ops.h"
#include "server/vault_paths.h"
#include "vault_core/paths/path_syntax.h"
#include "vault_core/unicode/unicode.h"
#include "vault_core/vault/file.h"

namespace server {
namespace {

using Handler = ToolOutcome (*)(ToolService&, const Json&);

// The search limit when the call gives none that is above zero.
constexpr std::uint64_t kDefaultSearchLimit = 10;

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

// --- Note tools --------------------------------------------------------------

ToolOutcome get_note(ToolService& service, const Json& arguments) {
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
  result["vaultLabel"] = paths::vault_label(*vault);
  result["vaultPath"] = *vault;
  return text_result(pretty_json(result));
}

ToolOutcome create_note(ToolService& service, const Json& arguments) {
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
  const std::string target = paths::join_normalize(*vault, record->path);
  service.notifier->notify("vault_changed", Json{{"path", target}});
  service.notifier->notify("open_tab", Json{{"path", target}});
  return text_result(pretty_json(write_result(*record, *vault, false)));
}

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
  service.notifier->notify("vault_changed", Json{{"path", paths::join_normalize(*vault, record->path)}});
  return text_result(pretty_json(write_result(*record, *vault, true)));
}

ToolOutcome update_note(ToolService& service, const Json& arguments) {
  const std::optional<double> expected = optional_number_arg(arguments, "expectedMtime");
  return change_note_tool(service, arguments, [&](const std::string& vault, const std::string& path,
                                                  const std::string& content) {
    return update_note_in_vault(vault, path, content, expected);
  });
}

ToolOutcome append_to_note(ToolService& service, const Json& arguments) {
  return change_note_tool(service, arguments, append_to_note_in_vault);
}

ToolOutcome search_notes(ToolService& service, const Json& arguments) {
  const std::string query = optional_text_arg(arguments, "query").value_or("");
  std::uint64_t limit = kDefaultSearchLimit;
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
  const std::string label = paths::vault_label(vault);
  std::string text;
  for (const SearchHit& hit : *hits) {
    if (!text.empty()) text += "\n\n";
    text += "**" + hit.title + "** (" + label + " / " + hit.path + ")\n" + hit.snippet;
  }
  return text_result(std::move(text));
}

ToolOutcome get_vault_context(ToolService& service, const Json& arguments) {
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

// --- Vault tools -------------------------------------------------------------

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

// --- UI tools ----------------------------------------------------------------

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

struct Route {
  std::string_view name;
  Handler handler;
};

constexpr std::array<Route, 12> kRoutes{{
    {"get_note", get_note},
    {"create_note", create_note},
    {"update_note", update_note},
    {"append_to_note", append_to_note},
    {"search_notes", search_notes},
    {"get_vault_context", get_vault_context},
    {"open_note", open_note},
    {"highlight_editor", highlight_editor},
    {"refresh_vault", refresh_vault},
    {"list_vaults", list_vaults},
    {"attach_vault", attach_vault},
    {"clone_vault", clone_vault},
}};

}  // namespace

ToolOutcome dispatch(ToolService& service, std::string_view name, const Json& arguments) {
  for (const Route& route : kRoutes) {
    if (route.name == name) return route.handler(service, arguments);
  }
  return std::unexpected("Unknown tool: " + std::string(name));
}

}  // namespace server
