// The lenient reading of tool arguments.
#include "server/tool_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace server {

namespace {

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

}  // namespace

}  // namespace server
