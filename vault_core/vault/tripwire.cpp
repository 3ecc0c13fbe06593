// The write tripwire: run statistics and the decision.
#include "vault_core/vault/tripwire.h"

#include <algorithm>
#include <limits>

#include "vault_core/unicode/unicode.h"

namespace vault {
namespace {

bool is_markdown_punctuation(char32_t c) {
  return c == '*' || c == '[' || c == ']' || c == '_' || c == '`' || c == '~';
}

std::uint64_t saturating_double(std::uint64_t v) {
  return v > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max() : v * 2;
}

}  // namespace

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
  if (now.runaway_escape_run >= kEscapeRunLimit &&
      (!before || now.runaway_escape_run >= saturating_double(before->runaway_escape_run))) {
    return "escape-explosion";
  }
  if (now.longest_run >= kRepeatRunLimit && (!before || now.longest_run >= saturating_double(before->longest_run))) {
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

}  // namespace vault
