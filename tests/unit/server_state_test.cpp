// The UI bridge port setting and the forms of a tool's result.
#include "server/server_state.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace server {

namespace {

TEST(UiPort, ParsesTheFirstEntryOnly) {
  struct Case {
    platform::EnvSnapshot env;
    std::uint16_t port;
  };
  const Case cases[] = {
      {{}, 9711},
      {{{"WS_UI_PORT", " 8080 "}}, 8080},
      {{{"WS_UI_PORT", "\t+8080\n"}}, 8080},
      {{{"WS_UI_PORT", "08080"}}, 8080},
      {{{"WS_UI_PORT", "0"}}, 0},
      {{{"WS_UI_PORT", "65535"}}, 65535},
      {{{"WS_UI_PORT", "\u3000123\u00A0"}}, 123},
      {{{"WS_UI_PORT", "65536"}}, 9711},
      {{{"WS_UI_PORT", "99999999999999999999"}}, 9711},
      {{{"WS_UI_PORT", "-1"}}, 9711},
      {{{"WS_UI_PORT", "8080x"}}, 9711},
      {{{"WS_UI_PORT", "+"}}, 9711},
      {{{"WS_UI_PORT", "++80"}}, 9711},
      {{{"WS_UI_PORT", ""}}, 9711},
      {{{"WS_UI_PORT", "0x1F90"}}, 9711},
      {{{"WS_UI_PORT", "80 80"}}, 9711},
      {{{"ws_ui_port", "8080"}}, 9711},
      {{{"WS_UI_PORT", "bad"}, {"WS_UI_PORT", "8080"}}, 9711},
      {{{"OTHER", "1"}, {"WS_UI_PORT", "1234"}, {"WS_UI_PORT", "5"}}, 1234},
  };
  for (const auto& c : cases) {
    const std::string shown = c.env.empty() ? "(unset)" : c.env.front().first + "=" + c.env.front().second;
    EXPECT_EQ(ui_port_from_env(c.env), c.port) << shown;
  }
}

TEST(ResultForms, TextResultAndPrettyJson) {
  EXPECT_EQ(text_result("hi").dump(), R"({"content":[{"text":"hi","type":"text"}]})");
  const Json value = {{"z", Json::array()}, {"a", {{"y", 1.0}, {"b", Json::object()}}}, {"m", "\u00e9\n"}};
  EXPECT_EQ(pretty_json(value),
            "{\n  \"a\": {\n    \"b\": {},\n    \"y\": 1.0\n  },\n  \"m\": \"\u00e9\\n\",\n  \"z\": []\n}");
}

TEST(ResultForms, MtimeIsANumberOrNull) {
  EXPECT_EQ(mtime_json(1700000000000.0).dump(), "1700000000000.0");
  EXPECT_EQ(mtime_json(1700000000123.25).dump(), "1700000000123.25");
  EXPECT_EQ(mtime_json(std::numeric_limits<double>::quiet_NaN()).dump(), "null");
  EXPECT_EQ(mtime_json(std::numeric_limits<double>::infinity()).dump(), "null");
}

}  // namespace

}  // namespace server
