// Tool handlers of the dispatcher, run in process with a notifier that
// records the UI actions they send.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "captured_actions.h"
#include "tool_service.h"

namespace {

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
