// Any bytes as a note: reading never crashes, the body is a slice of the
// note, the value is never null and always writes out as JSON (its strings
// are valid UTF-8), and the tag list holds no blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vault_core/frontmatter/frontmatter_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(text);
  if (parsed.frontmatter.is_null()) std::abort();
  if (parsed.body.data() != nullptr && !parsed.body.empty() &&
      (parsed.body.data() < text.data() || parsed.body.data() + parsed.body.size() > text.data() + text.size())) {
    std::abort();
  }
  static_cast<void>(parsed.frontmatter.dump());  // throws (and aborts) on ill-formed UTF-8
  for (const auto& tag : frontmatter::note_tag_list(parsed.frontmatter)) {
    if (tag.empty()) std::abort();
  }
  return 0;
}
