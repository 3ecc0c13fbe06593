// The dispatcher, and the handlers that need no vault, run in process with a
// notifier that records the UI actions they send.
#include "server/tool_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/captured_actions.h"

namespace server {

namespace {

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
