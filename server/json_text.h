// JSON text as the server writes it: byte for byte what the JSON library
// writes with sorted keys, UTF-8 unescaped and invalid UTF-8 replaced by
// U+FFFD, compact on the wire and two-space indented in tool results; and the
// nesting limit of the JSON the server reads.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace server {

using Json = nlohmann::json;

// The deepest nesting of arrays and objects that the server reads.
inline constexpr int kMaxJsonDepth = 127;

// `value` as JSON text: compact when `indent` is negative, else with `indent`
// spaces per level. Equal to value.dump(indent, ' ', false, replace).
std::string json_text(const Json& value, int indent);

// The compact form used on the wire.
std::string compact_json(const Json& value);

// The form of tool results: two-space indentation.
std::string pretty_json(const Json& value);

// True when arrays and objects in the JSON text nest deeper than
// kMaxJsonDepth levels (writing such a value back would exhaust the stack).
// Brackets inside strings do not count; malformed text is left to the parser.
bool json_nesting_too_deep(std::string_view text);

}  // namespace server
