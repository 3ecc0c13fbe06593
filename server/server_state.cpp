// The UI bridge port setting and the result forms.
#include "server/server_state.h"

#include <cmath>
#include <utility>

#include "vault_core/unicode/unicode.h"

namespace server {

std::uint16_t ui_port_from_env(const platform::EnvSnapshot& env) {
  const auto value = platform::snapshot_lookup(env, "WS_UI_PORT");
  if (!value) return kDefaultUiPort;
  std::string_view text = unicode::trim(*value);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return kDefaultUiPort;
  std::uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kDefaultUiPort;
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
    if (port > 65535) return kDefaultUiPort;
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

Json mtime_json(double mtime_ms) { return std::isfinite(mtime_ms) ? Json(mtime_ms) : Json(nullptr); }

}  // namespace server
