// The frontmatter block of a note as plain text: the strict split used to edit
// fields, the lenient split used to find a body for snippets, the lexical rule
// for numbers in field values, and the write tripwire that refuses runaway
// texts before anything reaches the disk. Pure functions; no file access.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace frontmatter {

// --- Splits (results are slices of the input text) -------------------------

// The text does not open with a delimiter line.
struct NoFrontmatter {};

// The text opens with a delimiter line that is never closed.
struct Unclosed {
  std::string_view rest;     // the text after the opening line
  std::string_view newline;  // "\n" or "\r\n", the line break of the opening line
};

// A closed block.
struct Split {
  std::string_view frontmatter;  // between the opening line and the closing delimiter, without
                                 // the line break in front of the closing "---"
  std::string_view body;         // everything after the closing "---" (normally its line break first)
  std::string_view newline;      // "\n" or "\r\n", the line break of the opening line
};

using FrontmatterSplit = std::variant<NoFrontmatter, Unclosed, Split>;

// Strict split: the text must begin with "---\n" or "---\r\n" (nothing before
// it, not even a byte-order mark); the block closes at the first line break
// of that same kind followed by "---", whatever follows the hyphens.
FrontmatterSplit split_frontmatter(std::string_view text);

// The body found by the lenient split.
struct Body {
  std::string_view text;
};

using BodySplit = std::variant<NoFrontmatter, Unclosed, Body>;

// Lenient split: the text must begin with "---"; the block closes at the first
// "\n---" after it, and the body is what follows with leading white space
// (Unicode, line breaks included) removed. The Unclosed outcome carries the
// text after the opening "---" and no newline.
BodySplit body_after_frontmatter(std::string_view text);

// True when `s` reads completely as a decimal floating-point number: an
// optional sign, then digits with an optional fraction and exponent ("1",
// "1.", ".5", "-2e+3"), or one of the words inf, infinity, nan in any letter
// case. Hexadecimal forms, underscores and surrounding spaces do not read.
bool reads_as_decimal_float(std::string_view s);

// --- Write tripwire ---------------------------------------------------------

// Counts of characters (Unicode scalar values, not bytes).
struct RunStats {
  // The longest run of one character repeated back to back (at least 1 for
  // any non-empty text; line breaks and spaces count).
  std::uint64_t longest_run = 0;
  // The longest run of backslashes directly followed by one of * [ ] _ ` ~.
  std::uint64_t runaway_escape_run = 0;
};

RunStats run_stats(std::string_view text);

// Texts shorter than this are never refused.
inline constexpr std::size_t kTripwireMinBytes = 512;

// The rule that a text with the statistics `now` breaks when it replaces a
// text with the statistics `before` (none: no earlier version), or nothing.
// Doubling a previous figure saturates at the largest 64-bit value.
std::optional<std::string_view> tripwire_rule(const RunStats& now, const std::optional<RunStats>& before);

struct TripwireHit {
  std::string_view rule;  // "escape-explosion" or "repeat-explosion"
  std::string details;    // compact JSON object, members in a fixed order
};

// Nothing when `text` may be written over `previous` (nothing when there is
// no earlier version), or the rule it breaks. A text is refused when its
// escape run reaches 512 (or its longest run 65,536) and, with a previous
// version, is at least twice the previous figure; the escape rule wins.
std::optional<TripwireHit> check_tripwire(std::optional<std::string_view> previous, std::string_view text);

// "tarnel_tripwire: {rule} {details}", the error the writers report.
std::string tripwire_message(const TripwireHit& hit);

}  // namespace frontmatter
