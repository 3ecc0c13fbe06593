// The number syntax of the frontmatter rules.
#include "vault_core/frontmatter/numbers.h"

#include <gtest/gtest.h>

#include <string>

namespace frontmatter {

namespace {

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

}  // namespace

}  // namespace frontmatter
