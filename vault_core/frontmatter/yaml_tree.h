// YAML to JSON: the first document of a frontmatter block as a JSON value.
// Plain scalars are typed by the server's own rules (null, booleans, decimal,
// hexadecimal and octal integers, decimal floats, everything else a string),
// tags resolve the core types, aliases are expanded within a fixed budget of
// nodes, copied bytes and nesting, and every parse starts from fresh state.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace frontmatter {

// The value of the first YAML document of `block`; nothing when the block is
// not valid YAML (or not UTF-8, or holds a NUL byte), holds no document, or
// exceeds the budget.
// Later documents are ignored, errors in them too.
std::optional<nlohmann::json> read_yaml(std::string_view block);

}  // namespace frontmatter
