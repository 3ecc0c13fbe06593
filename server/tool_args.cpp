// The argument conventions of the tool handlers.
#include "server/tool_args.h"

#include "vault_core/unicode/unicode.h"

namespace server {

const Json* member(const Json& arguments, std::string_view name) {
  if (!arguments.is_object()) return nullptr;
  auto it = arguments.find(name);
  return it == arguments.end() ? nullptr : &*it;
}

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

}  // namespace server
