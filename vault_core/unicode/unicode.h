// Unicode text helpers shared by every module: white-space trimming, UTF-8
// validation and lossy decoding, full lower-casing and character counting.
// All texts are UTF-8 byte strings; nothing here allocates unless it returns
// a new string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace unicode {

// True for the code points with the Unicode White_Space property.
bool is_white_space(char32_t c);

// The text without White_Space code points at both ends (or one end).
std::string_view trim(std::string_view s);
std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);

// True when `s` is well-formed UTF-8 (no surrogates, no overlong forms).
bool is_valid_utf8(std::string_view s);

// `s` with every ill-formed sequence replaced by U+FFFD, one replacement per
// maximal ill-formed subpart (the W3C/WHATWG practice).
std::string lossy_utf8(std::string_view s);

// Decodes the code point at `s[i]` and advances `i`. An ill-formed byte
// decodes as U+FFFD and advances by one byte.
char32_t decode(std::string_view s, std::size_t& i);

// Appends the UTF-8 form of `c` to `out`.
void encode(char32_t c, std::string& out);

// Full Unicode lower-case mapping of `s` (U+0130 becomes two code points,
// a capital sigma at the end of a word becomes the final sigma). ASCII-only
// text takes a fast path. Ill-formed bytes are copied unchanged.
std::string to_lower(std::string_view s);
void to_lower_into(std::string_view s, std::string& out);

// True when `a` and `b` are equal once ASCII letters are lower-cased (other
// bytes compare as they are).
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// `s` with its ASCII letters lower-cased, other bytes as they are.
std::string ascii_lower(std::string_view s);

// Number of code points in `s` (ill-formed bytes count one each).
std::size_t char_count(std::string_view s);

// Byte offset of the code point with index `n` (or s.size() when n is at or
// past the end).
std::size_t byte_offset_of_char(std::string_view s, std::size_t n);

}  // namespace unicode
