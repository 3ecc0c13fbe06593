#include "vault_core/frontmatter/scan.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

using namespace frontmatter;

namespace {

TEST(SplitFrontmatter, Outcomes) {
  struct Case {
    std::string text;
    int outcome;  // 0 none, 1 unclosed, 2 split
    std::string frontmatter, body, newline;
  };
  const Case cases[] = {
      {"", 0, "", "", ""},
      {"---", 0, "", "", ""},
      {"--\n---\n", 0, "", "", ""},
      {"\xEF\xBB\xBF---\na\n---\n", 0, "", "", ""},  // byte-order mark in front
      {"\n---\na\n---\n", 0, "", "", ""},           // blank line in front
      {"--- \na\n---\n", 0, "", "", ""},
      {"---\n", 1, "", "", "\n"},
      {"---\ntitle: A\nText", 1, "title: A\nText", "", "\n"},
      {"---\r\ntitle: A\n---\nText", 1, "title: A\n---\nText", "", "\r\n"},
      {"---\n---\nbody", 2, "", "\nbody", "\n"},
      {"---\n---", 2, "", "", "\n"},
      {"---\ntitle: A\n---\nText", 2, "title: A", "\nText", "\n"},
      {"---\r\ntitle: A\r\n---\r\nText", 2, "title: A", "\r\nText", "\r\n"},
      {"---\ntitle: A\n----\nText", 2, "title: A", "-\nText", "\n"},
      {"---\ntitle: A\n--- x\nText", 2, "title: A", " x\nText", "\n"},
      {"---\na\n\n---", 2, "a\n", "", "\n"},
  };
  for (const auto& c : cases) {
    const FrontmatterSplit r = split_frontmatter(c.text);
    ASSERT_EQ(static_cast<int>(r.index()), c.outcome) << c.text;
    if (const auto* u = std::get_if<Unclosed>(&r)) {
      EXPECT_EQ(u->rest, c.frontmatter) << c.text;
      EXPECT_EQ(u->newline, c.newline) << c.text;
    }
    if (const auto* s = std::get_if<Split>(&r)) {
      EXPECT_EQ(s->frontmatter, c.frontmatter) << c.text;
      EXPECT_EQ(s->body, c.body) << c.text;
      EXPECT_EQ(s->newline, c.newline) << c.text;
    }
  }
}

TEST(BodyAfterFrontmatter, Outcomes) {
  struct Case {
    std::string text;
    int outcome;  // 0 none, 1 unclosed, 2 body
    std::string body;
  };
  const Case cases[] = {
      {"--- notes\nx\n---\n\n  Body", 2, "Body"},
      {"---\nx", 1, ""},
      {"---", 1, ""},
      {"---\n---\u3000\u00A0Body ", 2, "Body "},  // Unicode white space trimmed at the start only
      {"---\nx\n----", 2, "-"},
      {"\xEF\xBB\xBF---\nx\n---\nB", 0, ""},
      {"--", 0, ""},
      {"# Title", 0, ""},
  };
  for (const auto& c : cases) {
    const BodySplit r = body_after_frontmatter(c.text);
    ASSERT_EQ(static_cast<int>(r.index()), c.outcome) << c.text;
    if (const auto* b = std::get_if<Body>(&r)) {
      EXPECT_EQ(b->text, c.body) << c.text;
    }
  }
}

TEST(DecimalFloat, ReadsLikeANumberParser) {
  for (const char* yes : {"1", "-0", "+1.5", "1.", ".5", "1e3", "1E+3", "1.e-3", "12e4567", "007", "inf", "-Infinity",
                          "NaN", "+nan", "9223372036854775808"}) {
    EXPECT_TRUE(reads_as_decimal_float(yes)) << yes;
  }
  for (const char* no : {"", ".", "+", "e3", "1e", "1e+", "0x10", "1_000", " 1", "1 ", "1.5.2", "infinit", "2024-01-15",
                         "12:30", "--1"}) {
    EXPECT_FALSE(reads_as_decimal_float(no)) << no;
  }
}

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
