// The fixed catalogue of the twelve tools that tools/list returns: names,
// descriptions for the agent, annotations and argument schemas.
#pragma once

#include <nlohmann/json.hpp>

namespace server {

// The catalogue as a JSON array of tool entries, in catalogue order. Built
// once; the same value on every call.
const nlohmann::json& tool_catalogue();

}  // namespace server
