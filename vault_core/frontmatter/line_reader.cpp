// The line reader: the block's lines read as simple key-and-value pairs.
#include "vault_core/frontmatter/line_reader.h"

#include <optional>
#include <string>

#include "vault_core/frontmatter/numbers.h"
#include "vault_core/unicode/unicode.h"

namespace frontmatter {
namespace {

using Json = nlohmann::json;

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (!is_ascii_digit(c)) return false;
  }
  return true;
}

Json text_json(std::string_view s) { return Json(unicode::lossy_utf8(s)); }

// The line of `text` that starts at `start`, without its LF, and where the
// next line starts (npos after the last line).
std::pair<std::string_view, std::size_t> line_at(std::string_view text, std::size_t start) {
  const std::size_t lf = text.find('\n', start);
  if (lf == std::string_view::npos) return {text.substr(start), std::string_view::npos};
  return {text.substr(start, lf - start), lf + 1};
}

// The text between matching outer quotes (' or "), or nothing.
std::optional<std::string_view> unquoted(std::string_view t) {
  if (t.empty() || (t.front() != '\'' && t.front() != '"') || t.back() != t.front()) return std::nullopt;
  return t.size() == 1 ? std::string_view() : t.substr(1, t.size() - 2);
}

// -5, 00, 1.5 and -0.0 are numbers; +1, 1., .5, 1e3 and 0x10 are not.
std::optional<Json> line_number(std::string_view t) {
  std::string_view rest = t;
  if (rest.starts_with('-')) rest.remove_prefix(1);
  const std::size_t dot = rest.find('.');
  const std::string_view whole = rest.substr(0, dot);
  if (whole.empty() || !all_digits(whole)) return std::nullopt;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = rest.substr(dot + 1);
    if (fraction.empty() || !all_digits(fraction)) return std::nullopt;
  } else if (const auto i = read_int(t, 10)) {
    return Json(*i);
  }
  const std::optional<double> d = read_double(t);
  return d ? Json(*d) : Json(nullptr);
}

Json line_value(std::string_view raw) {
  const std::string_view t = unicode::trim(raw);
  if (const auto inner = unquoted(t)) return text_json(*inner);
  if (unicode::equals_ignoring_ascii_case(t, "~") || unicode::equals_ignoring_ascii_case(t, "null")) return nullptr;
  if (unicode::equals_ignoring_ascii_case(t, "true") || unicode::equals_ignoring_ascii_case(t, "yes")) return true;
  if (unicode::equals_ignoring_ascii_case(t, "false") || unicode::equals_ignoring_ascii_case(t, "no")) return false;
  if (auto n = line_number(t)) return std::move(*n);
  return text_json(t);
}

// "[a, 'b, c', ]": pieces cut at commas outside quotes; brackets do not nest.
Json inline_list(std::string_view value) {
  const std::string_view inner = value.substr(1, value.size() - 2);
  Json list = Json::array();
  if (unicode::trim(inner).empty()) return list;
  std::size_t piece_start = 0;
  char quote = 0;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    const char c = inner[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == ',') {
      list.push_back(line_value(inner.substr(piece_start, i - piece_start)));
      piece_start = i + 1;
    }
  }
  const std::string_view last = inner.substr(piece_start);
  if (!unicode::trim(last).empty()) list.push_back(line_value(last));
  return list;
}

bool starts_with_white_space(std::string_view line) {
  std::size_t i = 0;
  return !line.empty() && unicode::is_white_space(unicode::decode(line, i));
}

}  // namespace

nlohmann::json read_lines(std::string_view lines) {
  Json object = Json::object();
  std::optional<std::string> list_key;
  for (std::size_t start = 0; start != std::string_view::npos;) {
    auto [line, next] = line_at(lines, start);
    start = next;
    // One CR went with the strict scan's line, one more goes here.
    for (int i = 0; i < 2 && line.ends_with('\r'); ++i) line.remove_suffix(1);

    const bool indented = starts_with_white_space(line);
    if (list_key && indented) {
      const std::string_view item = unicode::trim_start(line);
      if (item.starts_with('-')) {
        object[*list_key].push_back(line_value(item.substr(1)));
        continue;
      }
    }
    list_key.reset();

    const std::size_t colon = line.find(':');
    if (indented || line.starts_with('#') || colon == std::string_view::npos || colon == 0) continue;
    const std::string_view key_written = unicode::trim(line.substr(0, colon));
    const std::string key = unicode::lossy_utf8(unquoted(key_written).value_or(key_written));
    const std::string_view value = unicode::trim(line.substr(colon + 1));
    if (value.empty()) {
      object[key] = Json::array();
      list_key = key;
    } else if (value.size() >= 2 && value.front() == '[' && value.back() == ']') {
      object[key] = inline_list(value);
    } else {
      object[key] = line_value(value);
    }
  }
  return object;
}

}  // namespace frontmatter
