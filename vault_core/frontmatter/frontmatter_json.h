// Reading a note's frontmatter as JSON: the YAML block at the top of a note
// becomes a JSON value (with a line-by-line reading when the YAML is broken),
// and the note's tags are drawn from that value. Reading never fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace frontmatter {

using Json = nlohmann::json;

struct ParsedNote {
  // The header as JSON: usually an object, possibly an array, string, number
  // or boolean; never null ({} when the note has no usable header). Every
  // string in it is valid UTF-8.
  Json frontmatter;
  // The text after the header block (a slice of the note text, unchanged), or
  // the whole text when no block closes by the strict delimiter rule.
  std::string_view body;
};

// Splits a note into its frontmatter value and body. The header is read as
// YAML (first document only; aliases expanded up to a fixed budget of nodes,
// copied bytes and nesting); when that gives nothing useful the block is read
// line by line with simple key-and-value rules.
ParsedNote parse_note_text(std::string_view text);

// False only when the frontmatter value that parse_note_text gives for `text`
// certainly has no member named `key`: the header block, as either delimiter
// rule reads it, holds neither `key` nor a backslash (the one way to spell a
// name with other characters). Lets a caller that needs only that member skip
// the parse. `key` must be a name that no other spelling resolves to: not
// "null", "true", "false" or a number.
bool frontmatter_may_have_member(std::string_view text, std::string_view key);

// The note's tags: the string member "tags" (or the strings of that array),
// trimmed, without leading "#", blanks skipped, the first of each group that
// is equal after Unicode lower-casing kept as written.
std::vector<std::string> note_tag_list(const Json& frontmatter);

}  // namespace frontmatter
