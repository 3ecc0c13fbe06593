// json_text must write exactly what the JSON library's dump writes, compact
// and indented, for every value the server can hold: escapes at every offset
// of the eight-byte steps, ill-formed UTF-8, numbers, nesting, empty
// containers.
#include "server/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace server {

namespace {

using Json = nlohmann::json;

void expect_same(const Json& value) {
  for (const int indent : {-1, 2, 0}) {
    EXPECT_EQ(json_text(value, indent), value.dump(indent, ' ', false, Json::error_handler_t::replace))
        << "indent " << indent << ": " << value.dump(-1, ' ', true, Json::error_handler_t::replace);
  }
}

TEST(JsonText, WritesWhatTheLibraryWrites) {
  const Json values[] = {
      nullptr,
      true,
      false,
      0,
      -17,
      std::numeric_limits<std::int64_t>::min(),
      std::numeric_limits<std::uint64_t>::max(),
      1.0,
      -0.0,
      0.1,
      1e300,
      1700000000123.25,
      std::nan(""),
      "",
      "plain text that runs past several eight-byte words",
      "quote \" backslash \\ slash / tab \t line\nfeed \r\b\f \x01\x1f\x7f end",
      "\u00e9t\u00e9 \u4e2d\u6587 \U0001F600 \u2028",
      std::string("nul \0 inside", 12),
      "ill \xFF formed \xC3 and \xE2\x82 cut \xED\xA0\x80 surrogate",
      "\xF0\x9F\x98",  // a character cut at the end
      Json::array(),
      Json::object(),
      Json::array({1, "two", nullptr, Json::array(), Json::object(), Json::array({Json::array({3})})}),
      Json{{"b", 1}, {"a", Json{{"nested", Json::array({"x", 2.5})}, {"empty", Json::object()}}}, {"\n\xFFkey", "v"}},
  };
  for (const Json& v : values) {
    expect_same(v);
    expect_same(Json::array({v, v}));
    expect_same(Json{{"k", v}});
  }
}

// Every special byte at every offset within and across the eight-byte steps,
// next to multi-byte characters.
TEST(JsonText, EscapesAtEveryOffset) {
  const std::string specials[] = {"\"", "\\", "\n", "\x1f", "\x01", "\x7f", "\xc3\xa9", "\xe2\x80\xa8", "\xff"};
  for (const std::string& special : specials) {
    for (std::size_t at = 0; at < 20; ++at) {
      for (const std::size_t length : {at + 1, at + 9, std::size_t{24}}) {
        std::string s(length, 'a');
        s.replace(at, 0, special);
        expect_same(Json(s));
      }
    }
  }
  // All bytes below 0x80, in and out of runs.
  std::string all;
  for (int c = 0; c < 128; ++c) all += static_cast<char>(c);
  expect_same(Json(all));
  expect_same(Json(all + all.substr(3)));
}

}  // namespace

}  // namespace server
