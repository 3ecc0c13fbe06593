// YAML to JSON. The tree is built from libfyaml's events, with an anchor
// table of its own, so that scalar typing follows the rules below rather
// than the library's; the library's diagnostics are silenced.
#include "vault_core/frontmatter/yaml_tree.h"

#include <libfyaml.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vault_core/frontmatter/numbers.h"
#include "vault_core/unicode/unicode.h"

namespace frontmatter {
namespace {

using Json = nlohmann::json;

// Budget of one YAML document. Aliases copy whole values, so a few lines can
// ask for billions of nodes; a document beyond any of these limits counts as
// broken YAML. Real frontmatter stays far below them.
constexpr std::size_t kMaxNodes = 1'000'000;           // nodes built, alias and anchor copies included
constexpr std::size_t kMaxCopiedBytes = 16u << 20;     // scalar bytes copied for aliases and anchors
constexpr std::size_t kMaxDepth = 512;                 // nested sequences and mappings

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

bool is_hex_digit(char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }

bool all_of(std::string_view s, bool (*pred)(char)) {
  return std::all_of(s.begin(), s.end(), pred);
}

Json text_json(std::string_view s) { return Json(unicode::lossy_utf8(s)); }

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
  if (digits.empty() || !all_of(digits, is_ascii_digit)) return std::nullopt;
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
  for (char c : t) has_digit = has_digit || is_ascii_digit(c);
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
    case Kind::floating: return unicode::lossy_utf8(written);  // as written: 1e3 stays 1e3
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
// The configuration is made once: the library's default asks the terminal
// (a system call) every time it is made.
std::unique_ptr<fy_diag, DiagDeleter> quiet_diag() {
  static const fy_diag_cfg quiet = [] {
    fy_diag_cfg cfg;
    fy_diag_cfg_default(&cfg);
    cfg.fp = nullptr;
    cfg.output_fn = discard_output;
    cfg.colorize = false;
    return cfg;
  }();
  return std::unique_ptr<fy_diag, DiagDeleter>(fy_diag_create(&quiet));
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
    // A tag decides the type; else a plain scalar is typed by its text, and
    // a quoted or block scalar is a string.
    Scalar resolved{Kind::string, nullptr};
    if (s.tag != nullptr) {
      resolved = tagged_scalar(token_text(s.tag), t);
    } else if (style == FYSS_PLAIN) {
      resolved = plain_scalar(t);
    } else {
      resolved = Scalar{Kind::string, text_json(t)};
    }
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

}  // namespace

std::optional<Json> read_yaml(std::string_view block) {
  // The parser takes a NUL byte, which YAML does not allow, for the end of its
  // input: what follows would be dropped without a word.
  if (!unicode::is_valid_utf8(block) || block.find('\0') != std::string_view::npos) return std::nullopt;
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

}  // namespace frontmatter
