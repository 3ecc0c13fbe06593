#include "vault_core/paths/windows_path.h"

#include <gtest/gtest.h>

namespace paths {

namespace {

TEST(WindowsPrefix, RecognisesEachForm) {
  struct Case {
    std::string path;
    PrefixKind kind;
    std::size_t length;
    std::string name, share;
  };
  const Case cases[] = {
      {"C:\\Notes", PrefixKind::disk, 2, "C", ""},
      {"c:", PrefixKind::disk, 2, "c", ""},
      {"C:x", PrefixKind::disk, 2, "C", ""},
      {"\\\\server\\share\\x", PrefixKind::unc, 14, "server", "share"},
      {"//server/share", PrefixKind::unc, 14, "server", "share"},
      {"\\\\?\\C:\\x", PrefixKind::verbatim_disk, 6, "C", ""},
      {"\\\\?\\UNC\\srv\\sh\\x", PrefixKind::verbatim_unc, 14, "srv", "sh"},
      {"\\\\?\\UNC\\srv", PrefixKind::verbatim_unc, 11, "srv", ""},
      {"\\\\?\\pictures\\x", PrefixKind::verbatim, 12, "pictures", ""},
      // Only a backslash ends a verbatim name, and only an exact "X:" is a verbatim drive.
      {"\\\\?\\C:/x\\y", PrefixKind::verbatim, 8, "C:/x", ""},
      {"\\\\?\\C:x", PrefixKind::verbatim, 7, "C:x", ""},
      {"\\\\.\\COM1\\x", PrefixKind::device, 8, "COM1", ""},
      {"//./pipe/x", PrefixKind::device, 8, "pipe", ""},
  };
  for (const auto& c : cases) {
    const auto prefix = parse_prefix(c.path);
    ASSERT_TRUE(prefix) << c.path;
    EXPECT_EQ(prefix->kind, c.kind) << c.path;
    EXPECT_EQ(prefix->length, c.length) << c.path;
    EXPECT_EQ(prefix->name, c.name) << c.path;
    EXPECT_EQ(prefix->share, c.share) << c.path;
  }
}

TEST(WindowsPrefix, RejectsTextsWithoutOne) {
  const std::string none[] = {"", "Notes\\a.md", "\\Notes", "/x", "1:\\x", "\\\\server", "\\\\server\\", "\\\\\\share",
                              ":x"};
  for (const auto& path : none) EXPECT_FALSE(parse_prefix(path)) << path;
}

TEST(WindowsPrefix, DriveLettersCompareWithoutCaseOtherPartsExactly) {
  const auto same = [](std::string_view a, std::string_view b) {
    return same_prefix(*parse_prefix(a), *parse_prefix(b));
  };
  EXPECT_TRUE(same("C:", "c:\\x"));
  EXPECT_TRUE(same("\\\\?\\c:\\", "\\\\?\\C:"));
  EXPECT_TRUE(same("\\\\server\\share", "//server/share/x"));
  EXPECT_FALSE(same("\\\\Server\\share", "\\\\server\\share"));
  EXPECT_FALSE(same("\\\\?\\C:", "C:"));
  EXPECT_FALSE(same("\\\\?\\UNC\\server\\share", "\\\\server\\share"));
}

TEST(WindowsDisplayForm, DropsTheExtendedLengthPrefix) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\\\\?\\C:\\Notes\\a.md", "C:\\Notes\\a.md"},
      {"\\??\\C:\\Notes", "C:\\Notes"},
      {"\\\\?\\UNC\\server\\share\\Notes", "\\\\server\\share\\Notes"},
      {"\\??\\UNC\\server\\share", "\\\\server\\share"},
      {"C:\\Notes", "C:\\Notes"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"//?/C:/Notes", "//?/C:/Notes"},  // the text rule knows only backslashes
      {"\\\\.\\COM1", "\\\\.\\COM1"},
      {"\\\\?\\unc\\server", "unc\\server"},  // "UNC" is matched exactly
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(display_form(c.in), c.out) << c.in;
}

}  // namespace

}  // namespace paths
