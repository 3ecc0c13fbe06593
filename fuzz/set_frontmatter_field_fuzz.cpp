// Any note text and field value through the single-field editor that stamps
// new notes. The first input byte picks the key ("_id" or "_date", as the
// server stamps them, or a key from the input); then the value, a NUL byte,
// and the note text. Besides not crashing:
// - it fails exactly when the strict split finds an unclosed block, and then
//   with "Malformed frontmatter: no closing ---";
// - the result has a closed block and keeps the note's body (the whole text
//   when it had no block) unchanged, unless a "---" line of mixed line
//   breaks inside the block becomes its end;
// - setting the same field again changes nothing, once no line of the block
//   ends in a carriage return and the block does not end in a blank line
//   (each edit drops one "\r" in front of a line feed, joins the lines with
//   the opening line's break and drops one blank line at the block's end).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "vault_core/frontmatter/split.h"
#include "vault_core/vault/file.h"

using namespace frontmatter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view key = data[0] % 3 == 0 ? "_id" : data[0] % 3 == 1 ? "_date" : "";
  if (key.empty()) {
    const std::size_t nul = input.find('\0');
    key = input.substr(0, nul);
    input.remove_prefix(nul == std::string_view::npos ? input.size() : nul + 1);
  }
  const std::size_t nul = input.find('\0');
  const std::string_view value = input.substr(0, nul);
  const std::string_view text = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

  const FrontmatterSplit before = split_frontmatter(text);
  const auto edited = vault::set_frontmatter_field(text, key, value);
  if (std::holds_alternative<Unclosed>(before)) {
    if (edited || edited.error() != "Malformed frontmatter: no closing ---") std::abort();
    return 0;
  }
  if (!edited) std::abort();
  // Keys from the input may hold line breaks or delimiters of their own;
  // only the keys the server stamps are held to the layout rules.
  if (data[0] % 3 == 2) return 0;

  const FrontmatterSplit after = split_frontmatter(*edited);
  const auto* block = std::get_if<Split>(&after);
  if (block == nullptr) std::abort();
  if (const auto* old = std::get_if<Split>(&before)) {
    // Inside a block opened with "\r\n", a line "---" that ends in a bare
    // line feed does not close it; joined again with "\r\n" it does, as the
    // editor's rules have it, and the block ends there.
    if (old->newline == "\r\n" && old->frontmatter.find("\n---") != std::string_view::npos) return 0;
    if (block->body != old->body) std::abort();
  } else if (block->body != std::string("\n") + std::string(text)) {
    std::abort();
  }
  // Lines that still end in a carriage return lose one more at each edit,
  // and so does a run of blank lines at the end of the block.
  const std::string_view lines = block->frontmatter;
  if (lines.ends_with('\r') || lines.ends_with('\n') || lines.find("\r\r") != std::string_view::npos ||
      (block->newline == "\n" && lines.find("\r\n") != std::string_view::npos)) {
    return 0;
  }
  const auto again = vault::set_frontmatter_field(*edited, key, value);
  if (!again || *again != *edited) std::abort();
  return 0;
}
