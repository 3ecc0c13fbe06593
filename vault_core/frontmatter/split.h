// The delimiter rules that find a note's frontmatter block. A note can be
// read four ways, each for its own purpose, and the rules differ on purpose:
// - the strict split, for editing one field of a new note's frontmatter;
// - the lenient body split, for the body that search cuts a snippet from;
// - the YAML block, the text the YAML reader parses;
// - the body split of a parsed note, which decides where its body starts and
//   which lines the line reader reads.
// All results are slices of the input text; nothing here allocates.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

namespace frontmatter {

// --- Editing: the strict split ------------------------------------------------

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

// --- Snippets: the lenient body split -------------------------------------------

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

// --- Reading: the YAML block and the body split --------------------------------

// The YAML block: the text between a first line and the next line that are
// both "---" once trimmed at the end (Unicode white space, so "--- " and
// "---\r" count), trimmed at both ends; empty when the block is; nothing when
// the text is at most 3 bytes long or no such lines exist.
std::optional<std::string_view> yaml_block(std::string_view text);

// The body split of a parsed note: the text must begin with "---" LF or "---"
// CR LF, and the block closes at the first line that is "---" after one CR
// and trailing spaces and tabs are removed.
struct BlockAndBody {
  std::string_view lines;  // the lines in between, as they stand (CRs kept)
  std::string_view body;   // everything after the line break of the closing line
};
std::optional<BlockAndBody> body_split(std::string_view text);

}  // namespace frontmatter
