// Frontmatter to JSON. Three steps run over the same note text: a lenient
// delimiter scan that feeds the YAML parser, a strict delimiter scan that
// decides where the body starts, and a line reader that is the fallback when
// the YAML gives nothing useful. The YAML tree is built from libfyaml's
// events so that scalar typing follows the rules below, not the library's.
#include "vault_core/frontmatter/frontmatter_json.h"

#include <libfyaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "vault_core/frontmatter/scan.h"
#include "vault_core/unicode/unicode.h"

namespace frontmatter {

namespace {

// Budget of one YAML document. Aliases copy whole values, so a few lines can
// ask for billions of nodes; a document beyond any of these limits counts as
// broken YAML. Real frontmatter stays far below them.
constexpr std::size_t kMaxNodes = 1'000'000;           // nodes built, alias and anchor copies included
constexpr std::size_t kMaxCopiedBytes = 16u << 20;     // scalar bytes copied for aliases and anchors
constexpr std::size_t kMaxDepth = 512;                 // nested sequences and mappings

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (x != b[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }

bool all_of(std::string_view s, bool (*pred)(char)) {
  for (char c : s) {
    if (!pred(c)) return false;
  }
  return true;
}

// Bytes that should be UTF-8 as a string; ill-formed bytes become U+FFFD so
// that the value can always be written out as JSON.
std::string utf8_text(std::string_view s) {
  return unicode::is_valid_utf8(s) ? std::string(s) : unicode::lossy_utf8(s);
}

Json text_json(std::string_view s) { return Json(utf8_text(s)); }

// The double that a decimal number text reads as (optional sign, digits,
// fraction, exponent); nothing when it overflows to infinity.
std::optional<double> read_double(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Either overflow or underflow: let strtod tell which (infinity or a tiny value).
    const std::string copy(s);
    value = std::strtod(copy.c_str(), nullptr);
  } else if (ec != std::errc() || end != s.data() + s.size()) {
    return std::nullopt;
  }
  if (std::isinf(value)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> read_int(std::string_view digits, int base) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// --- YAML scalars -----------------------------------------------------------

enum class Kind { null, boolean, integer, floating, string };

struct Scalar {
  Kind kind;
  Json value;
};

std::optional<bool> yaml_bool(std::string_view t) {
  if (t == "true" || t == "True" || t == "TRUE") return true;
  if (t == "false" || t == "False" || t == "FALSE") return false;
  return std::nullopt;
}

// Decimal with optional sign, or 0x hex, or 0o octal, leading zeros allowed,
// within the signed 64-bit range.
std::optional<std::int64_t> yaml_int(std::string_view t) {
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o')) {
    const std::string_view digits = t.substr(2);
    if (t[1] == 'x') return all_of(digits, is_hex_digit) ? read_int(digits, 16) : std::nullopt;
    return all_of(digits, is_octal_digit) ? read_int(digits, 8) : std::nullopt;
  }
  std::string_view digits = t;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty() || !all_of(digits, is_digit)) return std::nullopt;
  return read_int(t[0] == '+' ? t.substr(1) : t, 10);
}

bool is_yaml_inf_or_nan(std::string_view t) {
  static constexpr std::string_view kWords[] = {".inf", ".Inf", ".INF", "+.inf", "+.Inf", "+.INF",
                                                "-.inf", "-.Inf", "-.INF", ".nan", ".NaN", ".NAN"};
  for (std::string_view w : kWords) {
    if (t == w) return true;
  }
  return false;
}

// Infinities and NaN read as 0.0 (JSON has neither); an overflow reads as null.
std::optional<Json> yaml_float(std::string_view t) {
  if (is_yaml_inf_or_nan(t)) return Json(0.0);
  bool has_digit = false;
  for (char c : t) has_digit = has_digit || is_digit(c);
  if (!has_digit || !frontmatter::reads_as_decimal_float(t)) return std::nullopt;
  const std::optional<double> d = read_double(t);
  return d ? Json(*d) : Json(nullptr);
}

Scalar plain_scalar(std::string_view t) {
  if (t.empty() || t == "~" || t == "null") return {Kind::null, nullptr};
  if (const auto b = yaml_bool(t)) return {Kind::boolean, *b};
  if (const auto i = yaml_int(t)) return {Kind::integer, *i};
  if (auto f = yaml_float(t)) return {Kind::floating, std::move(*f)};
  return {Kind::string, text_json(t)};
}

// A scalar with an explicit tag: the core types resolve as that type (null
// when the text does not fit), any other tag gives a string.
Scalar tagged_scalar(std::string_view tag, std::string_view t) {
  if (!tag.starts_with(kTagPrefix)) return {Kind::string, text_json(t)};
  const std::string_view type = tag.substr(kTagPrefix.size());
  if (type == "str") return {Kind::string, text_json(t)};
  if (type == "int") {
    if (const auto i = yaml_int(t)) return {Kind::integer, *i};
  } else if (type == "float") {
    if (auto f = yaml_float(t)) return {Kind::floating, std::move(*f)};
  } else if (type == "bool") {
    if (const auto b = yaml_bool(t)) return {Kind::boolean, *b};
  } else if (type != "null") {
    return {Kind::string, text_json(t)};
  }
  return {Kind::null, nullptr};
}

// The member name a scalar gives as a mapping key.
std::string key_text(Kind kind, const Json& value, std::string_view written) {
  switch (kind) {
    case Kind::null: return "null";
    case Kind::boolean: return value.get<bool>() ? "true" : "false";
    case Kind::integer: return std::to_string(value.get<std::int64_t>());
    case Kind::floating: return utf8_text(written);  // as written: 1e3 stays 1e3
    case Kind::string: break;
  }
  return value.get<std::string>();
}

// The value of a single-quoted scalar from its source text between the
// quotes: '' stands for one quote; a line break with the blanks around it
// folds to one space, or to n-1 line feeds when n breaks follow each other
// (lines holding only blanks count as empty).
std::string fold_single_quoted(std::string_view raw) {
  auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
  auto is_break = [](char c) { return c == '\n' || c == '\r'; };
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '\'') {
      out += '\'';
      i += i + 1 < raw.size() && raw[i + 1] == '\'' ? 2 : 1;
    } else if (is_blank(c)) {
      std::size_t j = i;
      while (j < raw.size() && is_blank(raw[j])) ++j;
      if (j == raw.size() || !is_break(raw[j])) out.append(raw.substr(i, j - i));  // blanks before a break go
      i = j;
    } else if (is_break(c)) {
      std::size_t breaks = 0;
      while (i < raw.size() && is_break(raw[i])) {
        i += raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n' ? 2 : 1;
        ++breaks;
        while (i < raw.size() && is_blank(raw[i])) ++i;  // so do the blanks after it
      }
      if (breaks == 1) {
        out += ' ';
      } else {
        out.append(breaks - 1, '\n');
      }
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// --- YAML tree from events --------------------------------------------------

struct Cost {
  std::size_t nodes = 0;
  std::size_t bytes = 0;  // scalar text
  std::size_t depth = 0;  // levels of sequences and mappings
};

// A finished value on its way to its parent.
struct Node {
  Json value;
  std::optional<std::string> key;  // its member name when used as a key (scalars only)
  Cost cost;
};

// NOLINTNEXTLINE(bugprone-exception-escape): clang-tidy 14 misreads the JSON value's noexcept move
struct Frame {
  Json value;  // array or object
  std::optional<std::string> anchor;
  Cost cost;
  bool awaiting_value = false;            // object: a key was read
  std::optional<std::string> member;      // object: that key's name (none: entry dropped)
};

struct DiagDeleter {
  void operator()(fy_diag* d) const { fy_diag_destroy(d); }
};
struct ParserDeleter {
  void operator()(fy_parser* p) const { fy_parser_destroy(p); }
};

void discard_output(fy_diag*, void*, const char*, std::size_t) {}

// A new diagnostics sink that prints nothing: the library reports to standard
// error by default, and this process must never write there. Each parse gets
// its own: the sink keeps an error flag that the parser consults, so one
// shared between parses would let an earlier failure change a later result.
std::unique_ptr<fy_diag, DiagDeleter> quiet_diag() {
  fy_diag_cfg cfg;
  fy_diag_cfg_default(&cfg);
  cfg.fp = nullptr;
  cfg.output_fn = discard_output;
  cfg.colorize = false;
  return std::unique_ptr<fy_diag, DiagDeleter>(fy_diag_create(&cfg));
}

std::string_view token_text(fy_token* token) {
  std::size_t length = 0;
  const char* text = token != nullptr ? fy_token_get_text(token, &length) : nullptr;
  return text != nullptr ? std::string_view(text, length) : std::string_view();
}

class TreeBuilder {
 public:
  // `input` is the text the parser reads; token marks are offsets into it.
  TreeBuilder(fy_parser* parser, std::string_view input) : parser_(parser), input_(input) {}

  // The first document's value; nothing on a parse error, a document beyond
  // the budget, or a stream without documents.
  std::optional<Json> read_first_document() {
    Event e = next();
    if (!e || e->type != FYET_STREAM_START) return std::nullopt;
    e = next();
    if (!e || e->type != FYET_DOCUMENT_START) return std::nullopt;
    while (!root_) {
      e = next();
      if (!e || !consume(*e)) return std::nullopt;
    }
    e = next();
    if (!e || e->type != FYET_DOCUMENT_END) return std::nullopt;
    // An implicit end may be followed by text that is not a new document;
    // the parser reports that only on the next event.
    if (e->document_end.implicit && !next()) return std::nullopt;
    return std::move(root_->value);
  }

 private:
  struct EventDeleter {
    fy_parser* parser;
    void operator()(fy_event* e) const { fy_parser_event_free(parser, e); }
  };
  using Event = std::unique_ptr<fy_event, EventDeleter>;

  Event next() { return Event(fy_parser_parse(parser_), EventDeleter{parser_}); }

  bool consume(fy_event& e) {
    switch (e.type) {
      case FYET_SCALAR: return scalar(e.scalar);
      case FYET_ALIAS: return alias(token_text(e.alias.anchor));
      case FYET_SEQUENCE_START: return open(Json::array(), e.sequence_start.anchor);
      case FYET_MAPPING_START: return open(Json::object(), e.mapping_start.anchor);
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END: return close();
      default: return false;
    }
  }

  bool scalar(const fy_event_scalar_data& s) {
    std::string folded;
    std::string_view t;
    const fy_scalar_style style = fy_token_scalar_style(s.value);
    if (style == FYSS_SINGLE_QUOTED) {
      // The library's text is wrong for adjacent '' escapes (it reads
      // 'x''''y' as x''' instead of x''y), so the source text is folded here.
      const fy_mark* start = fy_token_start_mark(s.value);
      const fy_mark* end = fy_token_end_mark(s.value);
      if (start == nullptr || end == nullptr || start->input_pos > end->input_pos || end->input_pos > input_.size()) {
        return false;
      }
      folded = fold_single_quoted(input_.substr(start->input_pos, end->input_pos - start->input_pos));
      t = folded;
    } else {
      std::size_t text_length = 0;
      const char* text = fy_token_get_text(s.value, &text_length);
      if (text == nullptr) return false;
      t = std::string_view(text, text_length);
      // A block scalar whose header line ends the input has no content, yet
      // the library gives its text as one NUL byte. No real text has one: a
      // NUL in the source ends the library's input.
      if ((style == FYSS_LITERAL || style == FYSS_FOLDED) && t == std::string_view("\0", 1)) t = {};
    }
    const std::size_t length = t.size();
    Scalar resolved = s.tag != nullptr        ? tagged_scalar(token_text(s.tag), t)
                      : style == FYSS_PLAIN ? plain_scalar(t)
                                            : Scalar{Kind::string, text_json(t)};
    Node node{std::move(resolved.value), std::nullopt, Cost{1, length, 0}};
    // Only a key, or a value that may be used as a key through its anchor, needs its name.
    if (s.anchor != nullptr || awaiting_key()) node.key = key_text(resolved.kind, node.value, t);
    if (!spend(1, 0)) return false;
    return deliver(std::move(node), s.anchor != nullptr ? std::optional(std::string(token_text(s.anchor))) : std::nullopt);
  }

  bool alias(std::string_view name) {
    const auto it = anchors_.find(std::string(name));
    if (it == anchors_.end()) return false;
    const Node& anchored = it->second;
    if (stack_.size() + anchored.cost.depth > kMaxDepth) return false;
    if (!spend(anchored.cost.nodes, anchored.cost.bytes)) return false;
    return deliver(Node{anchored.value, anchored.key, anchored.cost}, std::nullopt);
  }

  bool open(Json container, fy_token* anchor) {
    if (stack_.size() >= kMaxDepth || !spend(1, 0)) return false;
    Frame frame;
    frame.value = std::move(container);
    frame.cost = Cost{1, 0, 1};
    if (anchor != nullptr) frame.anchor = std::string(token_text(anchor));
    stack_.push_back(std::move(frame));
    return true;
  }

  bool close() {
    if (stack_.empty()) return false;
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    return deliver(Node{std::move(frame.value), std::nullopt, frame.cost}, std::move(frame.anchor));
  }

  bool awaiting_key() const {
    return !stack_.empty() && stack_.back().value.is_object() && !stack_.back().awaiting_value;
  }

  // Counts nodes and copied bytes against the budget.
  bool spend(std::size_t nodes, std::size_t copied_bytes) {
    nodes_ += nodes;
    copied_bytes_ += copied_bytes;
    return nodes_ <= kMaxNodes && copied_bytes_ <= kMaxCopiedBytes;
  }

  bool deliver(Node node, std::optional<std::string> anchor) {
    if (anchor) {
      // The anchor table keeps its own copy, which counts like an alias.
      if (!spend(node.cost.nodes, node.cost.bytes)) return false;
      anchors_.insert_or_assign(std::move(*anchor), Node{node.value, node.key, node.cost});
    }
    if (stack_.empty()) {
      root_ = std::move(node);
      return true;
    }
    Frame& parent = stack_.back();
    parent.cost.nodes += node.cost.nodes;
    parent.cost.bytes += node.cost.bytes;
    parent.cost.depth = std::max(parent.cost.depth, node.cost.depth + 1);
    if (parent.value.is_array()) {
      parent.value.push_back(std::move(node.value));
    } else if (!parent.awaiting_value) {
      parent.awaiting_value = true;
      parent.member = std::move(node.key);  // a sequence or mapping key drops the entry
    } else {
      if (parent.member) parent.value[*parent.member] = std::move(node.value);
      parent.awaiting_value = false;
      parent.member.reset();
    }
    return true;
  }

  fy_parser* parser_;
  std::string_view input_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, Node> anchors_;
  std::optional<Node> root_;
  std::size_t nodes_ = 0;
  std::size_t copied_bytes_ = 0;
};

// The value of the first YAML document of `block`; nothing when the block is
// not valid YAML (or not UTF-8), holds no document, or exceeds the budget.
std::optional<Json> read_yaml(std::string_view block) {
  if (!unicode::is_valid_utf8(block)) return std::nullopt;
  // The block is trimmed, so its last line has no line break, and at the end
  // of input the library drops the final line break of a keep-chomped block
  // scalar (|+ and >+) while a clip-chomped one keeps it. Read with a final
  // line feed, the last line ends as every other line does.
  std::string input;
  input.reserve(block.size() + 1);
  input.append(block).push_back('\n');
  fy_parse_cfg cfg{};
  cfg.flags = static_cast<fy_parse_cfg_flags>(FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2);
  const std::unique_ptr<fy_diag, DiagDeleter> diag = quiet_diag();
  if (!diag) return std::nullopt;
  cfg.diag = diag.get();
  const std::unique_ptr<fy_parser, ParserDeleter> parser(fy_parser_create(&cfg));
  if (!parser || fy_parser_set_string(parser.get(), input.data(), input.size()) != 0) return std::nullopt;
  return TreeBuilder(parser.get(), input).read_first_document();
}

// --- Delimiter scans --------------------------------------------------------

// The line of `text` that starts at `start`, without its LF, and where the
// next line starts (npos after the last line).
std::pair<std::string_view, std::size_t> line_at(std::string_view text, std::size_t start) {
  const std::size_t lf = text.find('\n', start);
  if (lf == std::string_view::npos) return {text.substr(start), std::string_view::npos};
  return {text.substr(start, lf - start), lf + 1};
}

// Step 1, lenient: the trimmed text between a first line and a later line
// that are "---" once trimmed at the end; nothing without such lines.
std::optional<std::string_view> lenient_block(std::string_view text) {
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

struct StrictBlock {
  std::string_view lines;  // raw: the line reader drops the CRs itself
  std::string_view body;
};

// Step 2, strict: "---" LF or "---" CR LF first, then the first line that is
// "---" after dropping one CR and trailing spaces and tabs.
std::optional<StrictBlock> strict_block(std::string_view text) {
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
      return StrictBlock{lines, next == std::string_view::npos ? std::string_view() : text.substr(next)};
    }
    start = next;
  }
  return std::nullopt;
}

// --- Step 3: line reader ----------------------------------------------------

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
  if (whole.empty() || !all_of(whole, is_digit)) return std::nullopt;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = rest.substr(dot + 1);
    if (fraction.empty() || !all_of(fraction, is_digit)) return std::nullopt;
  } else if (const auto i = read_int(t, 10)) {
    return Json(*i);
  }
  const std::optional<double> d = read_double(t);
  return d ? Json(*d) : Json(nullptr);
}

Json line_value(std::string_view raw) {
  const std::string_view t = unicode::trim(raw);
  if (const auto inner = unquoted(t)) return text_json(*inner);
  if (equals_ignoring_ascii_case(t, "~") || equals_ignoring_ascii_case(t, "null")) return nullptr;
  if (equals_ignoring_ascii_case(t, "true") || equals_ignoring_ascii_case(t, "yes")) return true;
  if (equals_ignoring_ascii_case(t, "false") || equals_ignoring_ascii_case(t, "no")) return false;
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

Json read_lines(std::string_view lines) {
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
    const std::string key = utf8_text(unquoted(key_written).value_or(key_written));
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

bool is_empty_object(const Json& v) { return v.is_object() && v.empty(); }

}  // namespace

ParsedNote parse_note_text(std::string_view text) {
  // Both delimiter rules need the text to open with three hyphens.
  if (!text.starts_with("---")) return {Json::object(), text};

  std::optional<Json> yaml;
  if (const auto block = lenient_block(text); block && !block->empty()) yaml = read_yaml(*block);
  const std::optional<StrictBlock> strict = strict_block(text);
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
  if (const auto block = lenient_block(text)) reach(*block);
  if (const auto strict = strict_block(text)) reach(strict->lines);
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
