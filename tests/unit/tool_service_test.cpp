// The dispatcher's shared pieces (the UI port setting, the argument helpers,
// the result forms) and the tool handlers of the dispatcher, run in process
// with a notifier that records the UI actions they send.
#include "server/tool_service.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>

#include "tests/support/captured_actions.h"

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

TEST(ArgumentHelpers, NotePathIsTrimmedAndRequired) {
  EXPECT_EQ(note_path_arg(Json{{"path", "  a/b.md \t"}}).value(), "a/b.md");
  for (const Json& bad : {Json{{"path", "   "}}, Json{{"path", 5}}, Json::object(), Json(nullptr),
                          Json::array({"a.md"}), Json("a.md"), Json{{"Path", "a.md"}}}) {
    EXPECT_EQ(note_path_arg(bad).error(), "Note path is required") << bad.dump();
  }
}

TEST(ArgumentHelpers, RequiredContentIsUntrimmedButNotEmpty) {
  EXPECT_EQ(required_content_arg(Json{{"content", " "}}).value(), " ");
  for (const Json& bad : {Json{{"content", ""}}, Json{{"content", 1}}, Json::object(), Json(nullptr)}) {
    EXPECT_EQ(required_content_arg(bad).error(), "content is required") << bad.dump();
  }
}

TEST(ArgumentHelpers, OptionalValuesOfTheWrongTypeAreAbsent) {
  const Json args = {{"t", " x "}, {"n", 2.5}, {"i", 3}, {"s", "5"}, {"b", true}, {"big", 18446744073709551615ULL}};
  EXPECT_EQ(optional_text_arg(args, "t"), " x ");
  EXPECT_EQ(optional_text_arg(args, "n"), std::nullopt);
  EXPECT_EQ(optional_text_arg(Json::array(), "t"), std::nullopt);
  EXPECT_EQ(optional_number_arg(args, "n"), 2.5);
  EXPECT_EQ(optional_number_arg(args, "i"), 3.0);
  EXPECT_EQ(optional_number_arg(args, "big"), 18446744073709551615.0);
  EXPECT_EQ(optional_number_arg(args, "s"), std::nullopt);
  EXPECT_EQ(optional_number_arg(args, "b"), std::nullopt);
  EXPECT_EQ(optional_number_arg(args, "missing"), std::nullopt);
}

TEST(ArgumentHelpers, TextListKeepsStringsInOrderUntrimmed) {
  EXPECT_EQ(text_list_arg(Json{{"tags", {" a", 3, "b", nullptr, "", true}}}, "tags"),
            (std::vector<std::string>{" a", "b", ""}));
  EXPECT_TRUE(text_list_arg(Json{{"tags", "a"}}, "tags").empty());
  EXPECT_TRUE(text_list_arg(Json("x"), "tags").empty());
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

TEST(Dispatch, UnknownNamesAreReportedAsReceived) {
  ToolService service({}, std::make_unique<UiNotifier>(1));
  for (const std::string name : {"", "Get_Note", "get_note ", "nope"}) {
    const ToolOutcome outcome = dispatch(service, name, Json::object());
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), "Unknown tool: " + name);
  }
}

// A ToolService with an empty environment whose notifier records the actions.
struct Service {
  std::unique_ptr<CapturingNotifier> owned = std::make_unique<CapturingNotifier>();
  CapturingNotifier& notifier = *owned;
  ToolService service{{}, std::move(owned)};
};

TEST(HighlightEditor, SendsElementAndPathAsGiven) {
  struct Case {
    Json arguments;
    std::string element;
    Json path;
  };
  const Case cases[] = {
      {Json::object(), "undefined", nullptr},
      {nullptr, "undefined", nullptr},
      {Json::array({"editor"}), "undefined", nullptr},
      {{{"element", "editor"}}, "editor", nullptr},
      // Not one of the catalogue's values, untrimmed: passed on all the same.
      {{{"element", " toolbar "}, {"path", "notes/a.md"}}, " toolbar ", "notes/a.md"},
      {{{"element", ""}}, "", nullptr},
      {{{"element", 5}, {"path", 5}}, "undefined", 5},
      {{{"path", {{"b", Json::array({1, "x"})}, {"a", false}}}}, "undefined", {{"a", false}, {"b", Json::array({1, "x"})}}},
      {{{"path", nullptr}, {"other", 1}}, "undefined", nullptr},
  };
  for (const auto& c : cases) {
    Service s;
    const ToolOutcome outcome = dispatch(s.service, "highlight_editor", c.arguments);
    ASSERT_TRUE(outcome) << c.arguments;
    EXPECT_EQ(*outcome, text_result("Highlighting " + c.element)) << c.arguments;
    ASSERT_EQ(s.notifier.sent.size(), 1u) << c.arguments;
    EXPECT_EQ(s.notifier.sent[0].first, "highlight");
    EXPECT_EQ(s.notifier.sent[0].second, (Json{{"element", c.element}, {"path", c.path}})) << c.arguments;
  }
}

}  // namespace

}  // namespace server
