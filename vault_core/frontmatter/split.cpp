// The four delimiter rules of the frontmatter block.
#include "vault_core/frontmatter/split.h"

#include <string>
#include <utility>

#include "vault_core/unicode/unicode.h"

namespace frontmatter {
namespace {

// The line of `text` that starts at `start`, without its LF, and where the
// next line starts (npos after the last line).
std::pair<std::string_view, std::size_t> line_at(std::string_view text, std::size_t start) {
  const std::size_t lf = text.find('\n', start);
  if (lf == std::string_view::npos) return {text.substr(start), std::string_view::npos};
  return {text.substr(start, lf - start), lf + 1};
}

}  // namespace

FrontmatterSplit split_frontmatter(std::string_view text) {
  std::string_view newline;
  if (text.starts_with("---\r\n")) {
    newline = text.substr(3, 2);
  } else if (text.starts_with("---\n")) {
    newline = text.substr(3, 1);
  } else {
    return NoFrontmatter{};
  }
  const std::string_view rest = text.substr(3 + newline.size());
  if (rest.starts_with("---")) return Split{rest.substr(0, 0), rest.substr(3), newline};

  const std::string closing = std::string(newline) + "---";
  const std::size_t p = rest.find(closing);
  if (p == std::string_view::npos) return Unclosed{rest, newline};
  return Split{rest.substr(0, p), rest.substr(p + closing.size()), newline};
}

BodySplit body_after_frontmatter(std::string_view text) {
  if (!text.starts_with("---")) return NoFrontmatter{};
  const std::string_view rest = text.substr(3);
  const std::size_t p = rest.find("\n---");
  if (p == std::string_view::npos) return Unclosed{rest, {}};
  return Body{unicode::trim_start(rest.substr(p + 4))};
}

std::optional<std::string_view> yaml_block(std::string_view text) {
  if (text.size() <= 3) return std::nullopt;
  const auto [first, block_start] = line_at(text, 0);
  if (block_start == std::string_view::npos || unicode::trim_end(first) != "---") return std::nullopt;
  for (std::size_t start = block_start; start != std::string_view::npos;) {
    const auto [line, next] = line_at(text, start);
    if (line.starts_with("---") && unicode::trim_end(line) == "---") {
      if (start == block_start) return std::string_view();
      return unicode::trim(text.substr(block_start, start - 1 - block_start));
    }
    start = next;
  }
  return std::nullopt;
}

std::optional<BlockAndBody> body_split(std::string_view text) {
  std::size_t block_start;
  if (text.starts_with("---\n")) {
    block_start = 4;
  } else if (text.starts_with("---\r\n")) {
    block_start = 5;
  } else {
    return std::nullopt;
  }
  for (std::size_t start = block_start; start != std::string_view::npos;) {
    auto [line, next] = line_at(text, start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    while (line.ends_with(' ') || line.ends_with('\t')) line.remove_suffix(1);
    if (line == "---") {
      const std::string_view lines =
          start == block_start ? std::string_view() : text.substr(block_start, start - 1 - block_start);
      return BlockAndBody{lines, next == std::string_view::npos ? std::string_view() : text.substr(next)};
    }
    start = next;
  }
  return std::nullopt;
}

}  // namespace frontmatter
