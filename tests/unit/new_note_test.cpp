#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "vault_core/vault/file.h"

namespace {

TEST(NewNoteTitle, TitleOrFileStem) {
  struct Case {
    std::optional<std::string> title;
    std::string path, expected;
  };
  const Case cases[] = {
      {"  Weekly review \u3000", "x.md", "Weekly review"},
      {" \t ", "projects/Big idea.md", "Big idea"},
      {std::nullopt, "projects/Big idea.md", "Big idea"},
      {std::nullopt, "/abs/a.b.md", "a.b"},
      {std::nullopt, ".env", ".env"},
      {std::nullopt, "dir/.hidden", ".hidden"},
      {std::nullopt, "noext", "noext"},
      {std::nullopt, "foo.", "foo"},
      {std::nullopt, "folder/", "folder"},
      {std::nullopt, "folder/./", "folder"},
      {std::nullopt, "", ""},
      {std::nullopt, "/", "/"},
      {std::nullopt, "a/..", "a/.."},
  };
  for (const auto& c : cases) {
    const auto title = c.title ? std::optional<std::string_view>(*c.title) : std::nullopt;
    EXPECT_EQ(vault::new_note_title(title, c.path), c.expected) << c.path;
  }
}

TEST(NewNoteText, TemplateWithAndWithoutTags) {
  const std::vector<std::string> tags = {"work", "review"};
  EXPECT_EQ(vault::new_note_text("Weekly review", tags),
            "---\ntags: [\"work\", \"review\"]\n---\n\n# Weekly review\n");
  EXPECT_EQ(vault::new_note_text("Weekly review", {}), "---\n---\n\n# Weekly review\n");
  const std::vector<std::string> odd = {"a\"b", "c\\d", "\u00e9", "tab\there"};
  EXPECT_EQ(vault::new_note_text("T", odd), "---\ntags: [\"a\\\"b\", \"c\\\\d\", \"\u00e9\", \"tab\\there\"]\n---\n\n# T\n");
}

TEST(NoteId, FromRandomBytes) {
  auto bytes = [](const char* hex) {
    std::array<unsigned char, 16> out{};
    for (std::size_t i = 0; i < 16; ++i) out[i] = static_cast<unsigned char>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    return out;
  };
  // Version and variant bits are forced before the number is read.
  EXPECT_EQ(vault::note_id_from_random(bytes("0123456789abcdef0123456789abcdef")), "r7oilui");
  EXPECT_EQ(vault::note_id_from_random(bytes("f47ac10b58cc4372a5670e02b2c3d479")), "h5x8ei8");
  EXPECT_EQ(vault::note_id_from_random(bytes("44a88c9bf5ba0162c8dbd2f4e2f0bd83")), std::nullopt);  // "bqzoibj"
  EXPECT_EQ(vault::note_id_from_random(bytes("00000000000000000000000000000000")), std::nullopt);  // "0000000"
}

TEST(NoteId, FreshIdsHaveLettersAndDigits) {
  const std::regex shape("[0-9a-z]{7}");
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    const auto id = vault::new_note_id();
    ASSERT_TRUE(id);
    EXPECT_TRUE(std::regex_match(*id, shape)) << *id;
    EXPECT_NE(id->find_first_of("0123456789"), std::string::npos) << *id;
    EXPECT_NE(id->find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << *id;
    seen.insert(*id);
  }
  EXPECT_GT(seen.size(), 495u);
}

TEST(StampNewNote, SetsIdAndDate) {
  const std::string date = "2024-05-01 14:03:09";
  const std::string fields = "_id: a1b2c3d\n_date: \"2024-05-01 14:03:09\"\n";
  struct Case {
    std::string text, expected;
  };
  const Case cases[] = {
      {"---\n---\n\n# T\n", "---\n" + fields + "---\n\n# T\n"},
      {"---\ntags: [\"a\"]\n---\n\n# T\n", "---\ntags: [\"a\"]\n" + fields + "---\n\n# T\n"},
      {"# Plan\nsteps", "---\n" + fields + "---\n# Plan\nsteps"},
      {"", "---\n" + fields + "---\n"},
      {"---\n_ID: custom\ntitle: x\n---\nB", "---\n_id: a1b2c3d\ntitle: x\n_date: \"2024-05-01 14:03:09\"\n---\nB"},
      {"---\n_date: old\n_id: old\n---\nB", "---\n_date: \"2024-05-01 14:03:09\"\n_id: a1b2c3d\n---\nB"},
      {"---\r\ntitle: x\r\n---\r\nB",
       "---\r\ntitle: x\r\n_id: a1b2c3d\r\n_date: \"2024-05-01 14:03:09\"\r\n---\r\nB"},
      {"---\ntitle: x\nnever closed", "---\ntitle: x\nnever closed"},
      {"---\r\ntitle: x\n---\nB", "---\r\ntitle: x\n---\nB"},
      {"---\n_id:\n  - old\n\n\tmore\nnext: 1\n---\n", "---\n_id: a1b2c3d\nnext: 1\n_date: \"2024-05-01 14:03:09\"\n---\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(vault::stamp_new_note(c.text, "a1b2c3d", date), c.expected) << c.text;

  EXPECT_EQ(vault::stamp_new_note("x", "12e4567", date), "---\n_id: \"12e4567\"\n_date: \"" + date + "\"\n---\nx");
}

TEST(StampNewNote, DrawsIdAndLocalTime) {
  const auto stamped = vault::stamp_new_note("# Plan\n");
  ASSERT_TRUE(stamped);
  const std::regex shape("---\n_id: \"?[0-9a-z]{7}\"?\n_date: \"\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\"\n---\n# Plan\n");
  EXPECT_TRUE(std::regex_match(*stamped, shape)) << *stamped;
}

TEST(SetFrontmatterField, KeyMatching) {
  struct Case {
    std::string text, expected;
  };
  const Case cases[] = {
      {"---\n  \"_id\" : x\n---\n", "---\nk: v\n---\n"},
      {"---\n'_Id': x\n---\n", "---\nk: v\n---\n"},
      {"---\n _ID : x\n---\n", "---\nk: v\n---\n"},
      {"---\n'_id' x: y\n---\n", "---\n'_id' x: y\nk: v\n---\n"},  // no ":" after the quoted key
      {"---\n'_id\n---\n", "---\n'_id\nk: v\n---\n"},
      {"---\n_id_extra: x\n# _id: x\n_id\n---\n", "---\n_id_extra: x\n# _id: x\n_id\nk: v\n---\n"},
      {"---\n_id: 1\na: 2\n_id: 3\n---\n", "---\nk: v\na: 2\nk: v\n---\n"},
      {"---\n_id: |\n  one\n  two\nb: 1\n---\n", "---\nk: v\nb: 1\n---\n"},
      {"---\n_id: 1\n continued by one space\n---\n", "---\nk: v\n continued by one space\n---\n"},
      {"---\na: 1\r\n---\nB", "---\na: 1\r\nk: v\n---\nB"},
      {"---\n---\nB", "---\nk: v\n---\nB"},
      {"---\n----\nB", "---\nk: v\n----\nB"},
  };
  for (const auto& c : cases) {
    const auto r = vault::set_frontmatter_field(c.text, " _ID ", "v");
    ASSERT_TRUE(r) << c.text;
    // The field line carries the key as given.
    std::string expected = c.expected;
    for (std::size_t at; (at = expected.find("k: v")) != std::string::npos;) expected.replace(at, 4, " _ID : v");
    EXPECT_EQ(*r, expected) << c.text;
  }
  EXPECT_EQ(vault::set_frontmatter_field("---\nno end", "k", "v").error(), "Malformed frontmatter: no closing ---");
}

TEST(SetFrontmatterField, ValueRendering) {
  struct Case {
    std::string value, line;
  };
  const Case cases[] = {
      {"plain", "k: plain"},
      {"True", "k: True"},
      {"1_000", "k: 1_000"},
      {"a1b2c3d", "k: a1b2c3d"},
      {"12e4567", "k: \"12e4567\""},
      {"1234567", "k: \"1234567\""},
      {"-1.5", "k: \"-1.5\""},
      {"Infinity", "k: \"Infinity\""},
      {"nan", "k: \"nan\""},
      {"true", "k: \"true\""},
      {"false", "k: \"false\""},
      {"null", "k: \"null\""},
      {"[x", "k: \"[x\""},
      {"{x", "k: \"{x\""},
      {"x]", "k: x]"},
      {"a#b", "k: \"a#b\""},
      {"say \"hi\": now", "k: \"say \\\"hi\\\": now\""},
      {"back\\slash: x", "k: \"back\\slash: x\""},
      {"a\nb\n\nc", "k: |\n  a\n  b\n\n  c"},
      {"a\r\nb\n", "k: |\n  a\n  b"},
  };
  for (const auto& c : cases) {
    const auto r = vault::set_frontmatter_field("---\n---\n", "k", c.value);
    ASSERT_TRUE(r) << c.value;
    EXPECT_EQ(*r, "---\n" + c.line + "\n---\n") << c.value;
  }
}

}  // namespace
