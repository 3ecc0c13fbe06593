// Frontmatter to JSON. Three readings run over the same note text: the YAML
// block (a lenient delimiter rule) read as YAML, the body split (a strict
// one) that decides where the body starts, and the line reader, the fallback
// when the YAML gives nothing useful.
#include "vault_core/frontmatter/frontmatter_json.h"

#include <algorithm>
#include <unordered_set>

#include "vault_core/frontmatter/line_reader.h"
#include "vault_core/frontmatter/split.h"
#include "vault_core/frontmatter/yaml_tree.h"
#include "vault_core/unicode/unicode.h"

namespace frontmatter {
namespace {

bool is_empty_object(const Json& v) { return v.is_object() && v.empty(); }

}  // namespace

ParsedNote parse_note_text(std::string_view text) {
  // Both delimiter rules need the text to open with three hyphens.
  if (!text.starts_with("---")) return {Json::object(), text};

  std::optional<Json> yaml;
  if (const auto block = yaml_block(text); block && !block->empty()) yaml = read_yaml(*block);
  const std::optional<BlockAndBody> strict = body_split(text);
  const std::string_view body = strict ? strict->body : text;

  if (yaml && !yaml->is_null() && !is_empty_object(*yaml)) return {std::move(*yaml), body};
  if (strict) return {read_lines(strict->lines), body};
  return {Json::object(), body};
}

bool frontmatter_may_have_member(std::string_view text, std::string_view key) {
  if (!text.starts_with("---")) return false;
  // Both readings of the header are slices of the text; the furthest end of
  // the two bounds every byte a member name can come from.
  std::size_t end = 0;
  auto reach = [&](std::string_view part) {
    if (!part.empty()) end = std::max(end, static_cast<std::size_t>(part.data() + part.size() - text.data()));
  };
  if (const auto block = yaml_block(text)) reach(*block);
  if (const auto strict = body_split(text)) reach(strict->lines);
  const std::string_view header = text.substr(0, end);
  return header.find(key) != std::string_view::npos || header.find('\\') != std::string_view::npos;
}

std::vector<std::string> note_tag_list(const Json& frontmatter) {
  std::vector<std::string> tags;
  if (!frontmatter.is_object()) return tags;
  const auto member = frontmatter.find("tags");
  if (member == frontmatter.end() || member->is_null()) return tags;

  std::unordered_set<std::string> seen;
  auto take = [&](const Json& candidate) {
    if (!candidate.is_string()) return;
    std::string_view tag = unicode::trim(candidate.get_ref<const std::string&>());
    while (tag.starts_with('#')) tag.remove_prefix(1);
    tag = unicode::trim(tag);
    if (tag.empty() || !seen.insert(unicode::to_lower(tag)).second) return;
    tags.emplace_back(tag);
  };
  if (member->is_array()) {
    for (const Json& candidate : *member) take(candidate);
  } else {
    take(*member);
  }
  return tags;
}

}  // namespace frontmatter
