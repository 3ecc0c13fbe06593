// The number syntax shared by the frontmatter rules: when a value reads as a
// decimal floating-point number, and reading decimal and based integers and
// doubles exactly as the rules want them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace frontmatter {

bool is_ascii_digit(char c);

// True when `s` reads completely as a decimal floating-point number: an
// optional sign, then digits with an optional fraction and exponent ("1",
// "1.", ".5", "-2e+3"), or one of the words inf, infinity, nan in any letter
// case. Hexadecimal forms, underscores and surrounding spaces do not read.
bool reads_as_decimal_float(std::string_view s);

// The double that a decimal number text reads as (an optional sign, digits,
// fraction, exponent); nothing when the text does not read whole, or reads
// as infinity (an overflow).
std::optional<double> read_double(std::string_view s);

// The signed 64-bit integer that `digits` read as in `base` (an optional "-"
// for base 10); nothing when they do not read whole or overflow.
std::optional<std::int64_t> read_int(std::string_view digits, int base);

}  // namespace frontmatter
