// The delimiter rules of the frontmatter block: the strict and the lenient split.
#include "vault_core/frontmatter/split.h"

#include <gtest/gtest.h>

#include <string>

namespace frontmatter {

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

}  // namespace

}  // namespace frontmatter
