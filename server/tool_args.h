// The arguments of a tool call, read leniently: only from an arguments object,
// and a member of the wrong JSON type counts as absent. Nothing is checked
// against the catalogue's schemas.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/json_text.h"

namespace server {

// The member `name` of `arguments`, or nothing when `arguments` is no object
// or has no such member.
const Json* member(const Json& arguments, std::string_view name);

// `path` trimmed; "Note path is required" when missing, not text or blank.
[[nodiscard]] std::expected<std::string, std::string> note_path_arg(const Json& arguments);

// `content` untrimmed; "content is required" when missing, not text or empty.
[[nodiscard]] std::expected<std::string, std::string> required_content_arg(const Json& arguments);

// The member when it is text, untrimmed.
std::optional<std::string> optional_text_arg(const Json& arguments, std::string_view name);

// The member when it is a JSON number, as a double.
std::optional<double> optional_number_arg(const Json& arguments, std::string_view name);

// The string elements of the member when it is an array, in order; empty otherwise.
std::vector<std::string> text_list_arg(const Json& arguments, std::string_view name);

}  // namespace server
