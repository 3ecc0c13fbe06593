// The number syntax of the frontmatter rules.
#include "vault_core/frontmatter/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "vault_core/unicode/unicode.h"

namespace frontmatter {
namespace {

// Number of ASCII digits at the start of `s`.
std::size_t digit_run(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && is_ascii_digit(s[n])) ++n;
  return n;
}

}  // namespace

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool reads_as_decimal_float(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (unicode::equals_ignoring_ascii_case(s, "inf") || unicode::equals_ignoring_ascii_case(s, "infinity") ||
      unicode::equals_ignoring_ascii_case(s, "nan")) {
    return true;
  }
  const std::size_t whole = digit_run(s);
  s.remove_prefix(whole);
  std::size_t fraction = 0;
  if (!s.empty() && s[0] == '.') {
    s.remove_prefix(1);
    fraction = digit_run(s);
    s.remove_prefix(fraction);
  }
  if (whole == 0 && fraction == 0) return false;
  if (!s.empty() && (s[0] == 'e' || s[0] == 'E')) {
    s.remove_prefix(1);
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    const std::size_t exponent = digit_run(s);
    if (exponent == 0) return false;
    s.remove_prefix(exponent);
  }
  return s.empty();
}

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

}  // namespace frontmatter
