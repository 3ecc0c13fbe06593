// The write tripwire: run statistics, thresholds and the refusal details.
#include "vault_core/vault/tripwire.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace vault {

namespace {

TEST(RunStats, CountsCharactersNotBytes) {
  struct Case {
    std::string text;
    std::uint64_t longest, escape;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"a", 1, 0},
      {"abba", 2, 0},
      {"\n\n\n x", 3, 0},
      {"\u00e9\u00e9\u00e9", 3, 0},        // two bytes each, three characters
      {"\u00e9\u00e8", 1, 0},              // same first byte, different characters
      {"\\\\\\*", 3, 3},                   // three backslashes then *
      {"\\\\a \\*", 2, 1},                 // a run followed by a letter is not counted
      {"\\\\\\", 3, 0},                    // trailing backslashes are dropped
      {"\\[\\\\]\\_\\`\\~", 2, 2},
      {"\\\\\\\\\\x\\\\*", 5, 2},
  };
  for (const auto& c : cases) {
    const RunStats s = run_stats(c.text);
    EXPECT_EQ(s.longest_run, c.longest) << c.text;
    EXPECT_EQ(s.runaway_escape_run, c.escape) << c.text;
  }
}

std::string escapes(std::size_t n, char after) { return std::string(n, '\\') + after; }

// Pads a text to at least 512 bytes with varied characters.
std::string padded(std::string s) {
  while (s.size() < 600) s += "abcdefghij";
  return s;
}

TEST(Tripwire, Thresholds) {
  struct Case {
    const char* name;
    std::optional<std::string> previous;
    std::string text;
    const char* rule;  // nullptr: passes
  };
  const Case cases[] = {
      {"511 bytes of anything", std::nullopt, std::string(511, '\\') , nullptr},
      {"511 bytes of escapes", std::nullopt, escapes(510, '*'), nullptr},
      {"600 escapes before *", std::nullopt, escapes(600, '*'), "escape-explosion"},
      {"600 escapes before a", std::nullopt, padded(escapes(600, 'a')), nullptr},
      {"511 escapes", std::nullopt, padded(escapes(511, '_')), nullptr},
      {"512 escapes", std::nullopt, padded(escapes(512, '_')), "escape-explosion"},
      {"799 over 400", padded(escapes(400, '*')), padded(escapes(799, '*')), nullptr},
      {"800 over 400", padded(escapes(400, '*')), padded(escapes(800, '*')), "escape-explosion"},
      {"65535 equal", std::nullopt, std::string(65535, 'x'), nullptr},
      {"65536 equal", std::nullopt, std::string(65536, 'x'), "repeat-explosion"},
      {"65536 over 32768", std::string(32768, 'x'), std::string(65536, 'x'), "repeat-explosion"},
      {"65536 over 32769", std::string(32769, 'x'), std::string(65536, 'x'), nullptr},
      {"both rules", std::nullopt, escapes(70000, '*'), "escape-explosion"},
      {"unreadable previous is no previous", std::nullopt, std::string(70000, '\n'), "repeat-explosion"},
  };
  for (const auto& c : cases) {
    const auto hit = check_tripwire(c.previous ? std::optional<std::string_view>(*c.previous) : std::nullopt, c.text);
    if (c.rule == nullptr) {
      EXPECT_FALSE(hit) << c.name << ": " << (hit ? hit->details : "");
    } else {
      ASSERT_TRUE(hit) << c.name;
      EXPECT_EQ(hit->rule, c.rule) << c.name;
    }
  }
}

TEST(Tripwire, DoublingSaturatesInsteadOfWrapping) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  // Twice a previous figure above half the range would wrap to a small number
  // and refuse a text that did not grow at all.
  EXPECT_FALSE(tripwire_rule({kMax - 1, 0}, RunStats{kMax / 2 + 1, 0}));
  EXPECT_FALSE(tripwire_rule({0, kMax - 1}, RunStats{0, kMax / 2 + 1}));
  EXPECT_EQ(tripwire_rule({kMax, 0}, RunStats{kMax / 2 + 1, 0}), "repeat-explosion");
  EXPECT_EQ(tripwire_rule({0, kMax}, RunStats{0, kMax / 2 + 1}), "escape-explosion");
  EXPECT_EQ(tripwire_rule({65536, 1024}, std::nullopt), "escape-explosion");
}

TEST(Tripwire, MessageHasFixedMemberOrder) {
  const auto hit = check_tripwire(std::nullopt, std::string(70000, '\n'));
  ASSERT_TRUE(hit);
  EXPECT_EQ(tripwire_message(*hit),
            "tarnel_tripwire: repeat-explosion {\"rule\":\"repeat-explosion\",\"bytes_before\":0,"
            "\"bytes_after\":70000,\"longest_run\":70000,\"runaway_escape_run\":0,\"old_longest_run\":0,"
            "\"old_runaway_escape_run\":0}");

  const std::string before = padded(escapes(300, '*'));
  const std::string after = padded("\u00e9" + escapes(700, '~'));
  const auto escape = check_tripwire(std::string_view(before), after);
  ASSERT_TRUE(escape);
  EXPECT_EQ(tripwire_message(*escape),
            "tarnel_tripwire: escape-explosion {\"rule\":\"escape-explosion\",\"bytes_before\":" +
                std::to_string(before.size()) + ",\"bytes_after\":" + std::to_string(after.size()) +
                ",\"longest_run\":700,\"runaway_escape_run\":700,\"old_longest_run\":300,"
                "\"old_runaway_escape_run\":300}");
}

}  // namespace

}  // namespace vault
