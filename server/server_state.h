// ToolService, the server state that every tool call reaches, the setting it
// is built from, and the forms of a tool's outcome. The note and vault
// modules may include this header; it includes none of them.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "server/json_text.h"
#include "server/ui_actions.h"
#include "vault_core/platform/env.h"

namespace server {

// The server state, alive for the whole process.
struct ToolService {
  ToolService(platform::EnvSnapshot environment, std::unique_ptr<UiNotifier> ui)
      : env(std::move(environment)), notifier(std::move(ui)) {}

  platform::EnvSnapshot env;                 // captured at start, read-only
  std::optional<std::string> session_vault;  // set by attach_vault and clone_vault
  std::unique_ptr<UiNotifier> notifier;
};

// The UI bridge port when WS_UI_PORT gives none.
inline constexpr std::uint16_t kDefaultUiPort = 9711;

// The UI bridge port from the first WS_UI_PORT entry of `env`: an optional
// "+" and decimal digits up to 65535 after trimming; kDefaultUiPort otherwise.
std::uint16_t ui_port_from_env(const platform::EnvSnapshot& env);

// A value, or the message for the agent when it could not be had: the
// result of every server operation that can fail.
template <class T>
using Expected = std::expected<T, std::string>;

// A tool result object on success, the agent-facing message on failure.
using ToolOutcome = Expected<Json>;

// {"content":[{"text":text,"type":"text"}]}
Json text_result(std::string text);

// A modification time as a JSON number; null when not finite.
Json mtime_json(double mtime_ms);

}  // namespace server
