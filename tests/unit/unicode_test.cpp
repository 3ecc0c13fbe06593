#include "vault_core/unicode/unicode.h"

#include <gtest/gtest.h>

namespace {

TEST(UnicodeTrim, RemovesWhiteSpaceCodePointsOnly) {
  struct Case {
    std::string in, both, start, end;
  };
  const Case cases[] = {
      {"", "", "", ""},
      {"  a b \t", "a b", "a b \t", "  a b"},
      {"\u00A0\u3000x\u2028", "x", "x\u2028", "\u00A0\u3000x"},
      {"\u200Bx", "\u200Bx", "\u200Bx", "\u200Bx"},  // zero-width space is not White_Space
      {"\x1Fx", "\x1Fx", "\x1Fx", "\x1Fx"},          // nor is the unit separator
      {"\r\n\v\f", "", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unicode::trim(c.in), c.both) << c.in;
    EXPECT_EQ(unicode::trim_start(c.in), c.start) << c.in;
    EXPECT_EQ(unicode::trim_end(c.in), c.end) << c.in;
  }
}

TEST(UnicodeValidation, AcceptsWellFormedRejectsIllFormed) {
  const std::string good[] = {"", "plain ascii text, long enough for the fast path", "\u00e9\u4e2d\U0001F600",
                              "\xF4\x8F\xBF\xBF"};
  const std::string bad[] = {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xC3",
                             "abcdefgh\xFF", "\xF0\x9F\x98"};
  for (const auto& s : good) EXPECT_TRUE(unicode::is_valid_utf8(s)) << s;
  for (const auto& s : bad) EXPECT_FALSE(unicode::is_valid_utf8(s)) << s;
}

TEST(UnicodeLossy, OneReplacementPerMaximalSubpart) {
  EXPECT_EQ(unicode::lossy_utf8("a\xF0\x9F\x98" "b"), "a\uFFFD" "b");  // truncated sequence: one U+FFFD
  EXPECT_EQ(unicode::lossy_utf8("\xC0\xAF"), "\uFFFD\uFFFD");           // two invalid bytes: two
  EXPECT_EQ(unicode::lossy_utf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");  // surrogate: three
  EXPECT_EQ(unicode::lossy_utf8("ok \u00e9"), "ok \u00e9");
}

TEST(UnicodeLower, FullMapping) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"HeLLo", "hello"},
      {"\u00C9T\u00C9", "\u00e9t\u00e9"},
      {"\u0130", "i\u0307"},             // one code point lower-cases to two
      {"\u1E9E", "\u00DF"},              // capital sharp s
      {"\u03A3", "\u03C3"},              // a lone capital sigma is not final
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},  // word-final sigma
      {"\u03A3\u0391", "\u03C3\u03B1"},
      {"\u0391\u03A3 x", "\u03B1\u03C2 x"},
      {"\xFF" "A", "\xFF" "a"},  // ill-formed bytes pass through
  };
  for (const auto& c : cases) EXPECT_EQ(unicode::to_lower(c.in), c.out) << c.in;
}

// ASCII runs are lower-cased eight bytes at a time: every ASCII byte, at
// every offset of a word, in runs of every length cut by non-ASCII
// characters and ill-formed bytes, must come out as the byte-wise rule says.
TEST(UnicodeLower, AsciiRunsMatchTheByteRule) {
  const std::string breaks[] = {"", "É", "İ", "ÿ", "Σ"};
  const std::string lowered[] = {"", "é", "i̇", "ÿ", "σ"};  // sigma: never word-final here
  std::string in;
  std::string expected;
  std::string out;
  for (int shift = 0; shift < 8; ++shift) {
    for (std::size_t b = 0; b < std::size(breaks); ++b) {
      in.assign(static_cast<std::size_t>(shift), 'Q');
      expected.assign(static_cast<std::size_t>(shift), 'q');
      for (int c = 0; c < 128; ++c) {
        in += static_cast<char>(c);
        expected += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (c % 11 == 10) {  // runs of 11 bytes, then a break and a letter
          in += breaks[b] + "Z";
          expected += lowered[b] + "z";
        }
      }
      unicode::to_lower_into(in, out);
      EXPECT_EQ(out, expected) << "shift " << shift << ", break " << b;
    }
  }
}

TEST(UnicodeCount, CodePointsAndOffsets) {
  const std::string s = "a\u00e9\U0001F600b";
  EXPECT_EQ(unicode::char_count(s), 4u);
  EXPECT_EQ(unicode::byte_offset_of_char(s, 2), 3u);
  EXPECT_EQ(unicode::byte_offset_of_char(s, 9), s.size());
}

}  // namespace
