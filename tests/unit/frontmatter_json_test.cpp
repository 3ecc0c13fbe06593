#include "vault_core/frontmatter/frontmatter_json.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace frontmatter {

namespace {

struct NoteCase {
  std::string text;
  const char* frontmatter;  // JSON text of the expected value
  std::string body;         // "<whole>" for the whole note text
};

void expect_parse(const NoteCase& c) {
  const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(c.text);
  EXPECT_EQ(parsed.frontmatter, Json::parse(c.frontmatter)) << "note: " << c.text << "\ngot: " << parsed.frontmatter;
  EXPECT_EQ(parsed.body, c.body == "<whole>" ? c.text : c.body) << "note: " << c.text;
  // The body is a slice of the note, never a copy.
  if (!parsed.body.empty()) {
    EXPECT_GE(parsed.body.data(), c.text.data());
    EXPECT_LE(parsed.body.data() + parsed.body.size(), c.text.data() + c.text.size());
  }
}

TEST(ParseNoteText, DelimiterRulesAndCombination) {
  const NoteCase cases[] = {
      {"---\ntitle: Hello\n---\nBody text\n", R"({"title":"Hello"})", "Body text\n"},
      {"Just text", "{}", "<whole>"},
      {"", "{}", "<whole>"},
      {"---", "{}", "<whole>"},
      {"---\n", "{}", "<whole>"},
      {"---\ntitle: x\nBody", "{}", "<whole>"},
      {"---\r\ntitle: x\r\n---\r\nBody\r\n", R"({"title":"x"})", "Body\r\n"},
      {"---\na: 1\n---\n\n\nBody", R"({"a":1})", "\n\nBody"},
      {"---\na: 1\n---  \t\nBody", R"({"a":1})", "Body"},
      {"---\na: 1\n----\nBody", "{}", "<whole>"},
      {"---\na: 1\n--- x\nBody", "{}", "<whole>"},
      {"---\na: 1\n...\nBody", "{}", "<whole>"},
      {"---\na: 1\n ---\nBody", "{}", "<whole>"},
      {"---\na: 1\n---\nb: 2\n---\nB", R"({"a":1})", "b: 2\n---\nB"},
      {"--- \ntitle: x\n---\nBody", R"({"title":"x"})", "<whole>"},
      {"---\r\ntitle: x\n---\nBody", R"({"title":"x"})", "Body"},
      {"---\njust a string\n---", R"("just a string")", ""},
      {"---\n- a\n- b\n---", R"(["a","b"])", ""},
      {"---\n~\n---", "{}", ""},
      {"---\n  a: 1\n  b: 2\n---\nafter", "{}", "after"},
      // An ideographic space after the closing hyphens closes the lenient
      // block only: the value is read, the body is the whole text.
      {"---\na: 1\n---\u3000\nBody", R"({"a":1})", "<whole>"},
      {"---\n---\nBody", "{}", "Body"},
      {"---\n\n---\nBody", "{}", "Body"},
      {"---\n# only a comment\n---\nB", "{}", "B"},
      {"---\n{}\n---\n", "{}", ""},
      {"---\n[]\n---\n", "[]", ""},
      {"---\n''\n---\n", R"("")", ""},
      {"---\n5\n---\n", "5", ""},
      {"---\nfalse\n---\n", "false", ""},
      {"\xEF\xBB\xBF---\na: 1\n---\nB", "{}", "<whole>"},
      // A stray CR after the closing line: dropped by the strict scan.
      {"---\na: 1\n---\r\nB", R"({"a":1})", "B"},
  };
  for (const auto& c : cases) expect_parse(c);
}

TEST(ParseNoteText, YamlValues) {
  struct Case {
    std::string yaml;  // the value of member a
    const char* json;
  };
  const Case cases[] = {
      {"0x1F", "31"},
      {"1e3", "1000.0"},
      {".inf", "0.0"},
      {"-.INF", "0.0"},
      {".NaN", "0.0"},
      {"1e400", "null"},
      {"1e-400", "0.0"},
      {"yes", R"("yes")"},
      {"2024-01-15", R"("2024-01-15")"},
      {"~", "null"},
      {"", "null"},
      {"null", "null"},
      {"Null", R"("Null")"},
      {"NULL", R"("NULL")"},
      {"!custom 5", R"("5")"},
      {"true", "true"},
      {"True", "true"},
      {"TRUE", "true"},
      {"FALSE", "false"},
      {"tRUE", R"("tRUE")"},
      {"on", R"("on")"},
      {"inf", R"("inf")"},
      {"12:30", R"("12:30")"},
      {"1_000", R"("1_000")"},
      {"0b101", R"("0b101")"},
      {"-0x10", R"("-0x10")"},
      {"0x7FFFFFFFFFFFFFFF", "9223372036854775807"},
      {"0x8000000000000000", R"("0x8000000000000000")"},
      {"0o17", "15"},
      {"0o18", R"("0o18")"},
      {"007", "7"},
      {"+5", "5"},
      {"-5", "-5"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", "9.223372036854776e18"},
      {"1.5", "1.5"},
      {"1.", "1.0"},
      {".5", "0.5"},
      {"-2.5e-3", "-0.0025"},
      {"'5'", R"("5")"},
      {"\"true\"", R"("true")"},
      {"'it''s'", R"("it's")"},
      {"'x''''y'", R"("x''y")"},
      {"'a''''''b'", R"("a'''b")"},
      {"''''''", R"("''")"},
      {"''", R"("")"},
      {"'multi\n  line  \n\n   fold '", R"("multi line\nfold ")"},
      {"' 1st non-empty\n\n 2nd non-empty \n \t3rd non-empty '", R"(" 1st non-empty\n2nd non-empty 3rd non-empty ")"},
      {"'crlf\r\n  joined'", R"("crlf joined")"},
      {"[ 'p''q', 'r' ]", R"(["p'q","r"])"},
      {"\"tab\\there \\u00e9\"", R"("tab\there é")"},
      {"|\n  line one\n  line two\n", R"("line one\nline two\n")"},
      {">\n  folded\n  text\n", R"("folded text\n")"},
      // The last value of the block: its last line still ends with a line
      // break, which keep and clip chomping both hold on to.
      {"|+\n  text", R"("text\n")"},
      {"|\n  text", R"("text\n")"},
      {"|-\n  text", R"("text")"},
      {">+\n  a\n  b", R"("a b\n")"},
      {">\n  a\n  b", R"("a b\n")"},
      {">-\n  a\n  b", R"("a b")"},
      // The block is trimmed: empty lines at its end are not kept.
      {"|+\n  text\n\n", R"("text\n")"},
      {"|+", R"("")"},
      {"|", R"("")"},
      {">+", R"("")"},
      {"|2+ # c", R"("")"},
      {"!!str 5", R"("5")"},
      {"!!str true", R"("true")"},
      {"!!int x", "null"},
      {"!!int \"12\"", "12"},
      {"!!int 1.5", "null"},
      {"!!float 5", "5.0"},
      {"!!float .inf", "0.0"},
      {"!!float x", "null"},
      {"!!bool True", "true"},
      {"!!bool yes", "null"},
      {"!!null x", "null"},
      {"!<tag:yaml.org,2002:int> 7", "7"},
      {"! 5", R"("5")"},
      {"!!binary aGk=", R"("aGk=")"},
      {"[1, two, 3.0, ~]", R"([1,"two",3.0,null])"},
      {"{b: 1, c: [x]}", R"({"b":1,"c":["x"]})"},
  };
  for (const auto& c : cases) {
    const std::string note = "---\nkey: k\na: " + c.yaml + "\n---\n";
    const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(note);
    EXPECT_EQ(parsed.frontmatter, Json::parse(std::string(R"({"key":"k","a":)") + c.json + "}"))
        << c.yaml << " gave " << parsed.frontmatter;
  }
}

TEST(ParseNoteText, YamlKeysAndMappings) {
  const NoteCase cases[] = {
      {"---\n1: x\n---\n", R"({"1":"x"})", ""},
      {"---\n~: x\n---\n", R"({"null":"x"})", ""},
      {"---\nnull: x\n---\n", R"({"null":"x"})", ""},
      {"---\n1.5: x\n---\n", R"({"1.5":"x"})", ""},
      {"---\n0x10: x\n---\n", R"({"16":"x"})", ""},
      {"---\n007: x\n---\n", R"({"7":"x"})", ""},
      {"---\n1e3: x\n---\n", R"({"1e3":"x"})", ""},
      {"---\n1.0: x\n---\n", R"({"1.0":"x"})", ""},
      {"---\n.inf: x\n---\n", R"({".inf":"x"})", ""},
      {"---\nTrue: x\nfalse: y\n---\n", R"({"true":"x","false":"y"})", ""},
      {"---\n!!str 5: x\n'7': y\n---\n", R"({"5":"x","7":"y"})", ""},
      {"---\nx: yes\n[a]: z\n---\n", R"({"x":"yes"})", ""},
      {"---\n{a: 1}: z\nb: 2\n---\n", R"({"b":2})", ""},
      {"---\na: 1\nb: 2\na: 3\n---\n", R"({"a":3,"b":2})", ""},
      {"---\na: &x [1, {b: 2}]\nc: *x\n---\n", R"({"a":[1,{"b":2}],"c":[1,{"b":2}]})", ""},
      {"---\na: &k key\n*k : v\n---\n", R"({"a":"key","key":"v"})", ""},
      {"---\na: &f 1e3\n*f : v\n---\n", R"({"a":1000.0,"1e3":"v"})", ""},
      {"---\na: &m {x: 1}\n*m : v\nb: 2\n---\n", R"({"a":{"x":1},"b":2})", ""},
      // An anchor may be redefined; an alias takes the latest definition.
      {"---\na: &x 1\nb: &x 2\nc: *x\n---\n", R"({"a":1,"b":2,"c":2})", ""},
      // Only the first document counts.
      {"---\na: 1\n--- b: 2\n---\n", R"({"a":1})", ""},
      {"---\na: 1\n...\njunk: [\n---\n", R"({"a":1})", ""},
      // Even an error in a later one (its tag handle is not defined there) is ignored.
      {"---\n%TAG !p! tag:example.com,2000:\n--- !p!A\na: 0x10\n--- !p!B\n---\n", R"({"a":16})", ""},
      // A keep value never has fewer line breaks than a clip value, wherever it stands.
      {"---\nstrip: |-\n  text\nclip: |\n  text\nkeep: |+\n  text\n---\n",
       R"({"strip":"text","clip":"text\n","keep":"text\n"})", ""},
      {"---\nkeep: |+\n  text\nclip: |\n  text\nstrip: |-\n  text\n---\n",
       R"({"strip":"text","clip":"text\n","keep":"text\n"})", ""},
      {"---\nstrip: >-\n  text\nclip: >\n  text\nkeep: >+\n  text\n---\n",
       R"({"strip":"text","clip":"text\n","keep":"text\n"})", ""},
  };
  for (const auto& c : cases) expect_parse(c);
}

TEST(ParseNoteText, BrokenYamlFallsBackToLines) {
  const NoteCase cases[] = {
      {"---\na: [unclosed\nb: 2\nc: YES\ntags:\n  - x\n  - 2\n---\n",
       R"({"a":"[unclosed","b":2,"c":true,"tags":["x",2]})", ""},
      // Text after an implicitly ended first document is an error too.
      {"---\n\"a\"\nk: v\n---\n", R"({"k":"v"})", ""},
      // YAML gives an empty object here (the only key is a sequence).
      {"---\n[x]: yes\n---\n", R"({"[x]":true})", ""},
      // YAML gives null.
      {"---\n~\nk: v\n---\n", R"({"k":"v"})", ""},
      {"---\nbad: [\ntags:\n- x\n---\n", R"({"bad":"[","tags":[]})", ""},
      {"---\nbad: [\ntags:\n  - a\n\n  - b\n---\n", R"({"bad":"[","tags":["a"]})", ""},
      {"---\nbad: [\ntags:\n  - a\n  other\n  - b\n---\n", R"({"bad":"[","tags":["a"]})", ""},
      {"---\nbad: [\ntags:\n\t- a\n \u00A0- b\n  -c\n---\n", R"({"bad":"[","tags":["a","b","c"]})", ""},
      {"---\nbad: [\nk: [a,,b]\n---\n", R"({"bad":"[","k":["a","","b"]})", ""},
      {"---\nbad: [\nk: [a, ]\n---\n", R"({"bad":"[","k":["a"]})", ""},
      {"---\nbad: [\nk: [ , a]\n---\n", R"({"bad":"[","k":["","a"]})", ""},
      {"---\nbad: [\nk: [a\n---\n", R"({"bad":"[","k":"[a"})", ""},
      {"---\nbad: [\nk: [\"a, b\", 'c,d', 3]\n---\n", R"({"bad":"[","k":["a, b","c,d",3]})", ""},
      {"---\nbad: [\nk: [a, [b, d]]\n---\n", R"({"bad":"[","k":["a","[b","d]"]})", ""},
      {"---\nbad: [\nk: []\nl: [  ]\n---\n", R"({"bad":"[","k":[],"l":[]})", ""},
      {"---\nbad: [\ntime: 12:30\nl: a: b\nc: v # note\n---\n",
       R"({"bad":"[","time":"12:30","l":"a: b","c":"v # note"})", ""},
      {"---\nbad: [\n# comment: x\n: nokey\n  indented: x\nno colon\n'my key': v\n\"q\" : w\n---\n",
       R"({"bad":"[","my key":"v","q":"w"})", ""},
      {"---\nbad: [\nk: 1\nk: 2\n---\n", R"({"bad":"[","k":2})", ""},
      {"---\r\nbad: [\r\nk: v\r\ntags:\r\n  - a\r\n---\r\nBody", R"({"bad":"[","k":"v","tags":["a"]})", "Body"},
      {"---\nbad: [\nk: v\r\r\n---\n", R"({"bad":"[","k":"v"})", ""},
      // No split by the strict rule: nothing to read line by line.
      {"--- \nbad: [\n---\nB", "{}", "<whole>"},
      // YAML has no NUL character; the YAML parser would stop at it and drop
      // the rest of the block without a word.
      {std::string("---\na: 1\0 dropped\nb: 2\n---\n", 27), "{\"a\":\"1\\u0000 dropped\",\"b\":2}", ""},
  };
  for (const auto& c : cases) expect_parse(c);
}

TEST(ParseNoteText, EarlierBrokenYamlDoesNotChangeALaterResult) {
  // The parser only warns about an unknown directive; any error left over
  // from an earlier parse would make it give up on this note.
  const std::string directive = "---\n%FOO  bar baz # ignored\n--- \"foo\"\n---\n";
  const std::string broken[] = {
      "---\na: [1\n---\n",
      "---\n\"a\"\nk: v\n---\n",
      "---\n*undefined\n---\n",
      "---\n%YAML 9.9\n---\n",
  };
  for (const auto& text : broken) {
    static_cast<void>(frontmatter::parse_note_text(text));
    EXPECT_EQ(frontmatter::parse_note_text(directive).frontmatter, Json("foo")) << "after " << text;
  }
}

TEST(ParseNoteText, LineReaderValueRules) {
  struct Case {
    const char* value;
    const char* json;
  };
  const Case cases[] = {
      {"~", "null"},           {"NULL", "null"},
      {"True", "true"},        {"yes", "true"},
      {"YES", "true"},         {"No", "false"},
      {"false", "false"},      {"'2'", R"("2")"},
      {"\"yes\"", R"("yes")"}, {"'", R"("")"},
      {"\"", R"("")"},         {"'a\"", R"("'a\"")"},
      {"''", R"("")"},         {"-5", "-5"},
      {"-0", "0"},             {"00", "0"},
      {"1.5", "1.5"},          {"-0.0", "-0.0"},
      {"+1", R"("+1")"},       {"1.", R"("1.")"},
      {".5", R"(".5")"},       {"-.5", R"("-.5")"},
      {"1..5", R"("1..5")"},   {"1.5e3", R"("1.5e3")"},
      {"1_0", R"("1_0")"},     {"0x10", R"("0x10")"},
      {"-", R"("-")"},         {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "9.223372036854776e18"},
      {"-9223372036854775809", "-9.223372036854776e18"},
      {"1.0", "1.0"},
      {"hello world", R"("hello world")"},
  };
  for (const auto& c : cases) {
    const std::string note = std::string("---\nbad: [\nv: ") + c.value + "\n---\n";
    const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(note);
    EXPECT_EQ(parsed.frontmatter, Json::parse(std::string(R"({"bad":"[","v":)") + c.json + "}"))
        << c.value << " gave " << parsed.frontmatter;
  }
  // A digit string too large even for a double reads as null.
  const std::string huge = "---\nbad: [\nv: " + std::string(400, '9') + "\n---\n";
  EXPECT_EQ(frontmatter::parse_note_text(huge).frontmatter, Json::parse(R"({"bad":"[","v":null})"));
}

TEST(ParseNoteText, BadInputNeverBreaksIt) {
  const std::string deep_unclosed = "---\na: " + std::string(100000, '[') + "\n---\n";
  const std::string deep_balanced = "---\na: " + std::string(100000, '[') + std::string(100000, ']') + "\n---\n";
  const std::string long_line = "---\na: " + std::string(4 << 20, 'x') + "\n---\nB";
  const NoteCase cases[] = {
      {"---\na: \xFF\xFE ok\n---\n", R"({"a":"\ufffd\ufffd ok"})", ""},
      {"---\n\xC3: v\n---\n", R"({"\ufffd":"v"})", ""},
      {"---\t\na:\t1\n---\nB", R"({"a":1})", "<whole>"},
      {"---\r\na: 1\n---\r\nB\r\n", R"({"a":1})", "B\r\n"},
      {"---\na: \"unclosed\n---\nB", R"({"a":"\"unclosed"})", "B"},
      {"---\na: |\n---\nB", R"({"a":""})", "B"},
      {std::string("---\n\0: \0\n---\n", 13), R"({"\u0000":"\u0000"})", ""},
      {deep_unclosed, nullptr, ""},
      {deep_balanced, nullptr, ""},
      {long_line, nullptr, "B"},
  };
  for (const auto& c : cases) {
    if (c.frontmatter != nullptr) {
      expect_parse(c);
      continue;
    }
    const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(c.text);
    EXPECT_EQ(parsed.body, c.body);
    ASSERT_TRUE(parsed.frontmatter.is_object());
    EXPECT_NO_THROW(static_cast<void>(parsed.frontmatter.dump()));
  }
  // Nesting up to the limit still reads as YAML.
  const std::string nested = "---\na: " + std::string(500, '[') + std::string(500, ']') + "\n---\n";
  Json expected = Json::array();
  for (int i = 1; i < 500; ++i) expected = Json::array({expected});
  EXPECT_EQ(frontmatter::parse_note_text(nested).frontmatter, Json({{"a", expected}}));
  // Beyond it, the line reader takes over.
  EXPECT_EQ(frontmatter::parse_note_text(deep_balanced).frontmatter["a"],
            Json::array({std::string(99999, '[') + std::string(99999, ']')}));
  EXPECT_EQ(frontmatter::parse_note_text(deep_unclosed).frontmatter["a"], std::string(100000, '['));
  EXPECT_EQ(frontmatter::parse_note_text(long_line).frontmatter["a"].get_ref<const std::string&>().size(), std::size_t{4 << 20});
}

TEST(ParseNoteText, AliasBombIsReadLineByLine) {
  // Nine levels of nine aliases would expand to 9^9 (387 million) strings.
  std::string note = "---\nl0: &l0 [\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\"]\n";
  for (int i = 1; i <= 9; ++i) {
    const std::string prev = "*l" + std::to_string(i - 1);
    note += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + prev;
    for (int k = 1; k < 9; ++k) note += "," + prev;
    note += "]\n";
  }
  note += "title: bomb\n---\nBody";

  const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(note);
  EXPECT_EQ(parsed.body, "Body");
  EXPECT_EQ(parsed.frontmatter["title"], "bomb");
  EXPECT_EQ(parsed.frontmatter["l9"], "&l9 [*l8,*l8,*l8,*l8,*l8,*l8,*l8,*l8,*l8]");

  // A long anchored string copied many times trips the byte budget instead.
  std::string wide = "---\ns: &s " + std::string(1 << 20, 'w') + "\nl: [";
  for (int i = 0; i < 40; ++i) wide += "*s,";
  wide += "*s]\n---\n";
  const Json wide_value = frontmatter::parse_note_text(wide).frontmatter;
  EXPECT_EQ(wide_value["l"].size(), 41u);
  EXPECT_EQ(wide_value["l"][0], "*s");

  // Modest expansion stays YAML.
  const Json small = frontmatter::parse_note_text("---\na: &a [x, y]\nb: [*a, *a, *a]\n---\n").frontmatter;
  EXPECT_EQ(small["b"], Json::parse(R"([["x","y"],["x","y"],["x","y"]])"));
}

TEST(ParseNoteText, NothingReachesStandardError) {
  std::fflush(stderr);
  char path[] = "/tmp/tarnel-stderr-XXXXXX";
  const int capture = ::mkstemp(path);
  ASSERT_GE(capture, 0);
  const int saved = ::dup(2);
  ASSERT_GE(saved, 0);
  ASSERT_GE(::dup2(capture, 2), 0);

  const std::string broken[] = {
      "---\na: [1\n---\n",      "---\na: 1\n b: 2\n---\n",   "---\n\"a\"\nb\n---\n", "---\na: \"\\ud800\"\n---\n",
      "---\n*undefined\n---\n", "---\n%YAML 9.9\n---\n",     "---\n!<x\n---\n",      "---\na: b: c\n---\n",
      "---\n@x\n---\n",         "---\n- a\nb: c\n---\n",     "---\n{a: 1\n---\n",    "---\n&a [*a]\n---\n",
  };
  for (const auto& text : broken) static_cast<void>(frontmatter::parse_note_text(text));

  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  const off_t written = ::lseek(capture, 0, SEEK_END);
  ::close(capture);
  ::unlink(path);
  EXPECT_EQ(written, 0);
}

TEST(NoteTagList, Candidates) {
  struct Case {
    const char* frontmatter;
    std::vector<std::string> tags;
  };
  const Case cases[] = {
      {R"({"tags":["alpha","Beta","#gamma","##delta"," eps ","ALPHA","beta","","#",3,true]})",
       {"alpha", "Beta", "gamma", "delta", "eps"}},
      {R"({"tags":"#One"})", {"One"}},
      {R"({"tags":" # two words "})", {"two words"}},
      {R"({"tags":5})", {}},
      {R"({"tags":null})", {}},
      {R"({"Tags":["a"]})", {}},
      {R"(["tags"])", {}},
      {R"("tags")", {}},
      {R"({"tags":["\u00c9","\u00e9","\u00df","SS","ss"]})", {"\u00c9", "\u00df", "SS"}},
      {R"({"tags":[["nested"],{"a":"b"},"x"]})", {"x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(frontmatter::note_tag_list(Json::parse(c.frontmatter)), c.tags) << c.frontmatter;
}

bool has_member(const frontmatter::ParsedNote& parsed, const std::string& key) {
  return parsed.frontmatter.is_object() && parsed.frontmatter.contains(key);
}

// The quick test may say "maybe" too often, but never "no" for a member the
// parse gives: names spelled with escapes, quotes, block scalars, anchors, by
// the line reader, and headers closed differently by the two delimiter rules.
TEST(FrontmatterMayHaveMember, NeverDeniesAMemberTheParseGives) {
  struct Case {
    std::string text;
    bool may;  // expected answer for "_title"
  };
  const Case cases[] = {
      {"---\n_title: T\n---\nbody", true},
      {"---\n\"\\x5ftitle\": T\n---\n", true},      // an escape spells the name
      {"---\n\"\\u005Ftitle\": T\n---\n", true},
      {"---\n'_title': T\n---\n", true},
      {"---\n? |-\n  _title\n: T\n---\n", true},
      {"---\nk: &a _title\n*a : T\n---\n", true},
      {"---\n_title: T\nx: [\n---\n", true},           // broken YAML: the line reader
      {"--- \n_title: T\n---\nbody", true},             // lenient rule only
      {"---\na: 1\n---\u3000\n_title: T\n---\nbody", true},  // the rules close at different lines
      {"---\r\n_title: T\r\n---\r\n", true},
      {"---\na: 1\n---\n_title: in the body\n", false},
      {"# _title\n---\n_title: T\n---\n", false},       // no header at the top
      {"---\n_title: never closed\n", false},
      {"", false},
      {"---", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(frontmatter::frontmatter_may_have_member(c.text, "_title"), c.may) << c.text;
    if (has_member(frontmatter::parse_note_text(c.text), "_title")) {
      EXPECT_TRUE(c.may) << c.text;
    }
  }

  // Random headers: lines of key spellings, separators and values that YAML
  // and the line reader read differently, opened and closed by either rule.
  const std::string keys[] = {"_title", "tags", "\"\\x5ftitle\"", "'_title'", "\"t\\x61gs\"", "\"\\u005Ftitle\"",
                              "\"_ti\\\n  tle\"", "? _title\n", "&k _title", "*k", "_ti", "a", "x y", "[k]", "~"};
  const std::string separators[] = {": ", ":", " : ", " "};
  const std::string values[] = {"T",    "",       "[a, b]", "'q''x'", "\"e\\tx\"", "&v val", "*v",   "[",
                                "{a: 1}", "|\n  block", "yes", "12:30", "- x",          "42",     "'",    "\\"};
  const std::string prefixes[] = {"", "", "", "  ", "- ", "# ", "  - "};
  const std::string breaks[] = {"\n", "\n", "\r\n"};
  const std::string openings[] = {"---\n", "---\n", "--- \n", "---\r\n"};
  const std::string closings[] = {"---\n", "---  \n", "---\u3000\n_title: late\n---\n"};
  std::uint64_t state = 42;
  auto pick = [&state](const auto& list) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return list[(state >> 33) % std::size(list)];
  };
  int found[2] = {0, 0};
  for (int round = 0; round < 20000; ++round) {
    std::string text = pick(openings);
    const int lines = 1 + static_cast<int>((state >> 20) % 5);
    for (int i = 0; i < lines; ++i) text += pick(prefixes) + pick(keys) + pick(separators) + pick(values) + pick(breaks);
    text += pick(closings) + "body _title tags\n";
    const frontmatter::ParsedNote parsed = frontmatter::parse_note_text(text);
    for (int k = 0; k < 2; ++k) {
      const std::string key = k == 0 ? "_title" : "tags";
      if (!has_member(parsed, key)) continue;
      ++found[k];
      ASSERT_TRUE(frontmatter::frontmatter_may_have_member(text, key)) << key << " in " << text;
    }
  }
  // The pieces do make both members often.
  EXPECT_GT(found[0], 1000);
  EXPECT_GT(found[1], 1000);
}

}  // namespace

}  // namespace frontmatter
