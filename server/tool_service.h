// The tools/call dispatcher: routes a tool name to its handler, one of the
// twelve tools of the catalogue.
#pragma once

#include <string_view>

#include "server/server_state.h"

namespace server {

// Runs the tool `name` with `arguments` (any JSON type). Unknown names give
// "Unknown tool: {name}".
[[nodiscard]] ToolOutcome dispatch(ToolService& service, std::string_view name, const Json& arguments);

}  // namespace server
