// The write tripwire: a safety scan that every write of note text passes
// before anything touches the disk. It refuses a text in which one character
// repeats in an exploding run, or backslash escapes in front of markdown
// punctuation pile up, judged in absolute terms and, when an earlier version
// of the note exists, relative to that version. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vault {

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

// The escape run, and the longest run, from which a text is refused.
inline constexpr std::uint64_t kEscapeRunLimit = 512;
inline constexpr std::uint64_t kRepeatRunLimit = 65536;

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

}  // namespace vault
