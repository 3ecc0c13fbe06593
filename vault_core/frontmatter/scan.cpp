// Frontmatter splits, the number rule of field values and the write tripwire.
#include "vault_core/frontmatter/scan.h"

#include <algorithm>
#include <limits>

#include "vault_core/unicode/unicode.h"

namespace frontmatter {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Number of ASCII digits at the start of `s`.
std::size_t digit_run(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && is_digit(s[n])) ++n;
  return n;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

bool is_markdown_punctuation(char32_t c) {
  return c == '*' || c == '[' || c == ']' || c == '_' || c == '`' || c == '~';
}

std::uint64_t saturating_double(std::uint64_t v) {
  return v > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max() : v * 2;
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

bool reads_as_decimal_float(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (equals_ignoring_ascii_case(s, "inf") || equals_ignoring_ascii_case(s, "infinity") ||
      equals_ignoring_ascii_case(s, "nan")) {
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

RunStats run_stats(std::string_view text) {
  RunStats stats;
  char32_t previous = 0;
  std::uint64_t run = 0;
  std::uint64_t backslashes = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char32_t c;
    if (byte < 0x80) {
      c = byte;
      ++i;
    } else {
      c = unicode::decode(text, i);
    }
    if (run > 0 && c == previous) {
      ++run;
    } else {
      stats.longest_run = std::max(stats.longest_run, run);
      run = 1;
      previous = c;
    }
    if (c == '\\') {
      ++backslashes;
    } else {
      if (is_markdown_punctuation(c)) stats.runaway_escape_run = std::max(stats.runaway_escape_run, backslashes);
      backslashes = 0;
    }
  }
  stats.longest_run = std::max(stats.longest_run, run);
  return stats;
}

std::optional<std::string_view> tripwire_rule(const RunStats& now, const std::optional<RunStats>& before) {
  if (now.runaway_escape_run >= 512 &&
      (!before || now.runaway_escape_run >= saturating_double(before->runaway_escape_run))) {
    return "escape-explosion";
  }
  if (now.longest_run >= 65536 && (!before || now.longest_run >= saturating_double(before->longest_run))) {
    return "repeat-explosion";
  }
  return std::nullopt;
}

std::optional<TripwireHit> check_tripwire(std::optional<std::string_view> previous, std::string_view text) {
  if (text.size() < kTripwireMinBytes) return std::nullopt;
  const RunStats now = run_stats(text);
  const std::optional<RunStats> before = previous ? std::optional(run_stats(*previous)) : std::nullopt;
  const std::optional<std::string_view> rule = tripwire_rule(now, before);
  if (!rule) return std::nullopt;
  const RunStats old = before.value_or(RunStats{});

  // Written by hand: the one object whose members keep a fixed order instead of sorted keys.
  std::string details = R"({"rule":")";
  details += *rule;
  details += R"(","bytes_before":)" + std::to_string(previous ? previous->size() : 0);
  details += R"(,"bytes_after":)" + std::to_string(text.size());
  details += R"(,"longest_run":)" + std::to_string(now.longest_run);
  details += R"(,"runaway_escape_run":)" + std::to_string(now.runaway_escape_run);
  details += R"(,"old_longest_run":)" + std::to_string(old.longest_run);
  details += R"(,"old_runaway_escape_run":)" + std::to_string(old.runaway_escape_run);
  details += "}";
  return TripwireHit{*rule, std::move(details)};
}

std::string tripwire_message(const TripwireHit& hit) {
  std::string message = "tarnel_tripwire: ";
  message += hit.rule;
  message += ' ';
  message += hit.details;
  return message;
}

}  // namespace frontmatter
