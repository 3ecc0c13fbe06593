// The JSON text of a value, byte for byte as the JSON library writes it with
// sorted keys, UTF-8 unescaped and invalid UTF-8 replaced by U+FFFD: compact
// on the wire, two-space indented in tool results. Strings, most of the bytes
// of every response, are escaped many bytes at a time.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace server {

// `value` as JSON text: compact when `indent` is negative, else with `indent`
// spaces per level. Equal to value.dump(indent, ' ', false, replace).
std::string json_text(const nlohmann::json& value, int indent);

}  // namespace server
