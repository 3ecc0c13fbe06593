// The line reader: the fallback reading of a frontmatter block whose YAML
// gives nothing useful. Each line "key: value" becomes a member (the later
// line wins); a value is unquoted, or read as null, a boolean ("yes" and "no"
// too), a number or a string; an empty value starts a list of the indented
// "- item" lines that follow; "[a, b]" is an inline list. No nesting, no
// block scalars, no comments after values.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace frontmatter {

// The object that the block's lines give (their CRs are removed here).
nlohmann::json read_lines(std::string_view lines);

}  // namespace frontmatter
