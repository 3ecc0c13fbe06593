// The dispatcher, result forms and argument helpers.
#include "tool_service.h"

#include <array>
#include <cmath>
#include <utility>

#include "unicode.h"

namespace {

using Handler = ToolOutcome (*)(ToolService&, const Json&);

ToolOutcome not_available(std::string_view name) { return std::unexpected("Tool not available yet: " + std::string(name)); }

template <const char* Name>
ToolOutcome pending(ToolService&, const Json&) { return not_available(Name); }

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

struct Route {
  std::string_view name;
  Handler handler;
};

constexpr std::array<Route, 12> kRoutes{{
    {kGetNote, pending<kGetNote>},
    {kCreateNote, pending<kCreateNote>},
    {kUpdateNote, pending<kUpdateNote>},
    {kAppendToNote, pending<kAppendToNote>},
    {kSearchNotes, pending<kSearchNotes>},
    {kGetVaultContext, pending<kGetVaultContext>},
    {kOpenNote, pending<kOpenNote>},
    {kHighlightEditor, highlight_editor},
    {kRefreshVault, pending<kRefreshVault>},
    {kListVaults, pending<kListVaults>},
    {kAttachVault, pending<kAttachVault>},
    {kCloneVault, pending<kCloneVault>},
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

std::string pretty_json(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

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
