#include "vault_core/paths/path_syntax.h"

#include <gtest/gtest.h>

#include <optional>

namespace paths {

namespace {

constexpr PathSyntax W = PathSyntax::windows;
constexpr PathSyntax P = PathSyntax::posix;

const char* name(PathSyntax s) { return s == W ? "windows: " : "posix: "; }

TEST(PathSyntax, NativeIsThePlatformsOwn) {
#ifdef _WIN32
  EXPECT_EQ(kNativeSyntax, PathSyntax::windows);
#else
  EXPECT_EQ(kNativeSyntax, PathSyntax::posix);
#endif
}

TEST(PathAbsolute, FollowsEachSyntax) {
  struct Case {
    PathSyntax syntax;
    std::string path;
    bool absolute;
  };
  const Case cases[] = {
      {W, "C:\\Notes", true},
      {W, "c:/Notes", true},
      {W, "C:\\", true},
      {W, "C:x", false},  // drive-relative
      {W, "C:", false},
      {W, "\\Notes", false},  // rooted on the current drive
      {W, "/Notes", false},
      {W, "Notes\\a.md", false},
      {W, "\\\\server\\share", true},
      {W, "\\\\server\\share\\x", true},
      {W, "//server/share/x", true},
      {W, "\\\\server", false},
      {W, "\\\\?\\C:\\x", true},
      {W, "\\\\?\\pictures", true},
      {W, "\\\\?\\UNC\\server\\share", true},
      {W, "\\\\.\\COM1", true},
      {W, "", false},
      {P, "/", true},
      {P, "/home/u/Notes", true},
      {P, "//x", true},
      {P, "Notes/a.md", false},
      {P, "./a", false},
      {P, "C:\\Notes", false},
      {P, "\\\\server\\share", false},
      {P, " /x", false},
      {P, "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_absolute_path(c.path, c.syntax), c.absolute) << name(c.syntax) << c.path;
}

TEST(PathEquality, ComparesComponents) {
  struct Case {
    PathSyntax syntax;
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {W, "C:\\Notes", "c:/Notes/", true},  // drive letter case, slash kind, trailing separator
      {W, "C:\\Notes", "C:\\notes", false},
      {W, "C:\\a\\.\\b", "C:\\a\\\\b", true},
      {W, "C:\\a\\..\\b", "C:\\b", false},  // lexical: ".." is a component
      {W, "\\\\server\\share\\x", "//server/share/x", true},
      {W, "\\\\server\\share", "\\\\server\\share\\", true},
      {W, "\\\\Server\\share", "\\\\server\\share", false},
      {W, "\\\\?\\C:\\x", "C:\\x", false},
      {W, "\\\\?\\C:\\x", "\\\\?\\c:\\x", true},
      {W, "C:x", "C:\\x", false},
      {W, "./a", "a", false},  // a leading "." is a component
      {W, "a/./b/.", "a\\b", true},
      {P, "/a//b/", "/a/b", true},
      {P, "/a/./b", "/a/b", true},
      {P, "/A", "/a", false},
      {P, "a\\b", "a/b", false},
      {P, "/a", "a", false},
      {P, "", "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(paths_equal(c.a, c.b, c.syntax), c.equal) << name(c.syntax) << c.a << " vs " << c.b;
    EXPECT_EQ(paths_equal(c.b, c.a, c.syntax), c.equal) << name(c.syntax) << c.b << " vs " << c.a;
  }
}

TEST(PathNormalize, DropsDotsAndCancelsParents) {
  struct Case {
    PathSyntax syntax;
    std::string in, out;
  };
  const Case cases[] = {
      {W, "C:/Notes/./a/../b.md", "C:\\Notes\\b.md"},
      {W, "a/../../b", "..\\b"},
      {W, "C:/../x", "C:\\..\\x"},  // the root cannot be removed
      {W, "../..", "..\\.."},       // a ".." never cancels another
      {W, "C:a\\..\\..\\b", "C:..\\b"},
      {W, "\\\\server\\share\\a\\..\\b", "\\\\server\\share\\b"},
      {W, "//server/share", "//server/share\\"},
      {W, "\\\\?\\C:\\a\\..\\b", "\\\\?\\C:\\b"},
      {W, "\\\\?\\C:\\a/b", "\\\\?\\C:\\a/b"},  // after a verbatim prefix "/" is no separator
      {W, "./a/", "a"},
      {W, ".", ""},
      {W, "", ""},
      {P, "/Notes/./a/../b.md", "/Notes/b.md"},
      {P, "a/../../b", "../b"},
      {P, "/../x", "/../x"},
      {P, "//a//b/", "/a/b"},
      {P, "a\\..\\b", "a\\..\\b"},
      {P, "a/..", ""},
      // A first name that reads as a drive stays a relative name.
      {W, "./c:x", ".\\c:x"},
      {W, "a/../c:.", ".\\c:."},
      {W, "./c:x/../d", "d"},
      {P, "./c:x", "c:x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lexical_normalize(c.in, c.syntax), c.out) << name(c.syntax) << c.in;
    EXPECT_EQ(lexical_normalize(c.out, c.syntax), c.out) << name(c.syntax) << c.out << " is not stable";
  }
}

TEST(PathJoin, NeverClimbsAboveTheRootFolder) {
  struct Case {
    PathSyntax syntax;
    std::string root, path, out;
  };
  const Case cases[] = {
      {W, "C:\\Notes", "../../x.md", "C:\\x.md"},
      {W, "C:\\Notes", "..\\x.md", "C:\\x.md"},
      {W, "C:\\Notes", "a/../../../b", "C:\\b"},
      {W, "C:\\Notes", "", "C:\\Notes"},
      {W, "C:\\Notes\\", "a/./b.md", "C:\\Notes\\a\\b.md"},
      {W, "C:/Notes", "a", "C:/Notes\\a"},  // the root text is kept as it is
      {W, "C:\\Notes", "\\x", "C:\\x"},     // a rooted path keeps only the drive
      {W, "C:\\Notes", "D:y", "D:y"},       // a prefix replaces the path
      {W, "C:", "x", "C:x"},
      {W, "\\\\server\\share\\Notes", "..\\..\\x", "\\\\server\\share\\x"},
      {W, "\\\\?\\C:\\Notes", "..\\..\\x", "\\\\?\\C:\\x"},
      {P, "/Notes", "../../x.md", "/x.md"},
      {P, "/Notes", "", "/Notes"},
      {P, "/Notes/", "a/b.md", "/Notes/a/b.md"},
      {P, "/Notes", "  ", "/Notes/  "},
      {P, "/Notes", "/etc/x", "/etc/x"},
      {P, "/Notes", "a\\..\\b", "/Notes/a\\..\\b"},
      {P, "/v/../Notes", "../../y", "/v/../y"},  // a ".." in the root text is not cancelled
      {P, "/Notes", "a\xFF", "/Notes/a\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(join_normalize(c.root, c.path, c.syntax), c.out) << name(c.syntax) << c.root << " + " << c.path;
  }
}

TEST(PathInside, StrictAndLexical) {
  struct Case {
    PathSyntax syntax;
    std::string root, path;
    bool inside;
    std::optional<std::string> rest;
  };
  const Case cases[] = {
      {W, "C:\\", "C:\\notes", true, "notes"},
      {W, "c:\\", "C:\\notes", true, "notes"},
      {W, "C:\\Notes", "C:\\Notes\\Sub\\a.md", true, "Sub/a.md"},
      {W, "C:\\Notes", "c:/Notes/./Sub//a.md", true, "Sub/a.md"},
      {W, "C:\\Notes", "C:\\notes\\a", false, std::nullopt},
      {W, "C:\\Notes", "C:\\Notes", false, ""},
      {W, "C:\\Notes", "C:\\Notes\\", false, ""},
      {W, "C:\\Notes", "C:\\Notes\\a\\..\\b", true, "b"},
      {W, "C:\\Notes", "C:\\Notes\\..\\x", false, std::nullopt},
      {W, "C:\\", "C:\\..\\x", false, "../x"},
      {W, "C:\\Notes", "C:\\NotesX\\a", false, std::nullopt},
      {W, "\\\\server\\share\\N", "//server/share/N/a", true, "a"},
      {W, "\\\\?\\C:\\N", "\\\\?\\C:\\N\\a", true, "a"},
      {W, "\\\\?\\C:\\N", "C:\\N\\a", false, std::nullopt},
      // After a verbatim prefix "/" belongs to the name: one component, whose
      // text starts with "/" or "../" and still lies inside.
      {W, "\\\\?\\C:\\N", "\\\\?\\C:\\N\\/x/", true, "/x/"},
      {W, "\\\\?\\C:\\N", "\\\\?\\C:\\N\\../x", true, "../x"},
      {P, "/", "/notes", true, "notes"},
      {P, "/Notes", "/Notes/Sub/a.md", true, "Sub/a.md"},
      {P, "/Notes", "/notes/a", false, std::nullopt},
      {P, "/Notes", "/Notes", false, ""},
      {P, "/Notes", "/Notes/../x", false, std::nullopt},
      {P, "/Notes/", "/Notes/a/../b", true, "b"},
      {P, "/Notes", "/Notes/a/..", false, ""},
      {P, "/Notes", "/Notes//", false, ""},
      {P, "/Notes", "/Notes/./a", true, "a"},
      {P, "Notes", "Notes/a", true, "a"},
      {P, "/Notes", "/NotesX", false, std::nullopt},
      {P, "", "/a", false, std::nullopt},  // an absolute path is never inside a relative root
  };
  for (const auto& c : cases) {
    EXPECT_EQ(strictly_inside(c.root, c.path, c.syntax), c.inside) << name(c.syntax) << c.root << " / " << c.path;
    EXPECT_EQ(relative_remainder(c.root, c.path, c.syntax), c.rest) << name(c.syntax) << c.root << " / " << c.path;
  }
}

TEST(PathText, PortableTextLabelAndParts) {
  EXPECT_EQ(portable_text("a\\b/c", W), "a/b/c");
  EXPECT_EQ(portable_text("a\\.\\b\\", W), "a/b");
  EXPECT_EQ(portable_text("a//b/", P), "a/b");
  EXPECT_EQ(portable_text("a\\b", P), "a\\b");
  EXPECT_EQ(portable_text("", P), "");
  EXPECT_EQ(portable_text("a/\xFF", P), "a/\uFFFD");

  struct Case {
    PathSyntax syntax;
    std::string path, label;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {W, "C:\\Notes", "Notes", "C:\\"},
      {W, "C:\\Notes\\", "Notes", "C:\\"},
      {W, "C:\\", "C:\\", std::nullopt},
      {W, "\\\\server\\share", "\\\\server\\share", std::nullopt},
      {W, "\\\\server\\share\\Notes", "Notes", "\\\\server\\share\\"},
      {W, "a\\..", "a\\..", "a"},
      {P, "/home/u/Notes/", "Notes", "/home/u"},
      {P, "/home/u/./Notes", "Notes", "/home/u"},
      {P, "/", "/", std::nullopt},
      {P, "Notes", "Notes", ""},
      {P, "C:\\Notes", "C:\\Notes", ""},
      {P, "", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vault_label(c.path, c.syntax), c.label) << name(c.syntax) << c.path;
    EXPECT_EQ(parent_path(c.path, c.syntax), c.parent) << name(c.syntax) << c.path;
  }
}

TEST(PathText, JoinPathAddsOneSeparatorWhereNeeded) {
  EXPECT_EQ(join_path("/cfg", "com.tarnel.app", P), "/cfg/com.tarnel.app");
  EXPECT_EQ(join_path("/cfg/", "vaults.json", P), "/cfg/vaults.json");
  EXPECT_EQ(join_path("", "vaults.json", P), "vaults.json");
  EXPECT_EQ(join_path("C:\\cfg", "x", W), "C:\\cfg\\x");
  EXPECT_EQ(join_path("C:/cfg/", "x", W), "C:/cfg/x");
  EXPECT_EQ(join_path("C:", "x", W), "C:x");
  EXPECT_EQ(join_path("\\\\?\\C:\\cfg/", "x", W), "\\\\?\\C:\\cfg/\\x");
  // A note path joined to a canonical (verbatim) vault root keeps its
  // components, and ".." still cancels one of them after normalisation.
  EXPECT_EQ(join_path("\\\\?\\C:\\N", "a/b.md", W), "\\\\?\\C:\\N\\a\\b.md");
  EXPECT_EQ(lexical_normalize(join_path("\\\\?\\C:\\N", "a/../../x.md", W), W), "\\\\?\\C:\\x.md");
  EXPECT_EQ(join_path("\\\\?\\UNC\\srv\\share", "a/b.md", W), "\\\\?\\UNC\\srv\\share\\a\\b.md");
  EXPECT_EQ(join_path("/v", "a\\b.md", P), "/v/a\\b.md");
}

TEST(PathText, DisplayFormDependsOnTheSyntax) {
  EXPECT_EQ(display_path("\\\\?\\UNC\\srv\\share\\n.md", W), "\\\\srv\\share\\n.md");
  EXPECT_EQ(display_path("\\\\?\\C:\\n.md", P), "\\\\?\\C:\\n.md");
  EXPECT_EQ(display_path("/home/u/n.md"), "/home/u/n.md");
}

}  // namespace

}  // namespace paths
