// Lexical path operations over one component model with two syntaxes: POSIX
// and Windows (drive letters, UNC shares, verbatim and device prefixes, both
// slashes); the native one is the build's. Nothing here touches the file system.
//
// A path reads as: an optional prefix (Windows only), an optional root
// separator, then "." (kept only as the very first component), ".." and
// normal components. Repeated and trailing separators add nothing. Two paths
// are equal when their components are: a drive letter compares without regard
// to case, everything else byte for byte. Paths are byte strings; operations
// that say "as text" replace ill-formed UTF-8 with U+FFFD.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace paths {

enum class PathSyntax { posix, windows };

// The syntax of the platform the server runs on.
#ifdef _WIN32
inline constexpr PathSyntax kNativeSyntax = PathSyntax::windows;
#else
inline constexpr PathSyntax kNativeSyntax = PathSyntax::posix;
#endif

// POSIX: starts with "/". Windows: starts with a prefix and, for a bare drive
// letter, continues with a separator ("C:\x", "\\server\share", "\\?\x";
// not "C:x", "\x" or "x").
bool is_absolute_path(std::string_view path, PathSyntax syntax = kNativeSyntax);

// True when the component sequences are equal ("C:\Notes" equals "c:/Notes/").
bool paths_equal(std::string_view a, std::string_view b, PathSyntax syntax = kNativeSyntax);

// The components rebuilt without "." and with each ".." cancelling the
// normal component before it; a ".." with nothing to cancel (at the start,
// after the root, after another "..") is kept. Separators come out in the
// syntax's main form: "C:/Notes/./a/../b.md" gives "C:\Notes\b.md",
// "a/../../b" gives "..\b", "C:/../x" gives "C:\..\x".
std::string lexical_normalize(std::string_view path, PathSyntax syntax = kNativeSyntax);

// `base` with `relative` appended, a separator between them unless `base` is
// empty, ends with a separator, or is a bare drive ("C:"). Bytes are kept,
// except that after a verbatim `base` ("\\?\C:\Notes"), where only "\"
// separates, the "/" of `relative` become "\": "a/b.md" stays two components.
std::string join_path(std::string_view base, std::string_view relative, PathSyntax syntax = kNativeSyntax);

// `root` (its text kept as it is) with the components of `path` applied in
// order, as text: "." is skipped; ".." removes the last normal component and
// is otherwise ignored, so the result never climbs above the root folder of
// `root`'s drive; a normal component is appended; a root separator keeps only
// the prefix of the current path; a prefix replaces the current path.
// "C:\Notes" with "../../x.md" gives "C:\x.md"; an empty `path` gives `root`.
std::string join_normalize(std::string_view root, std::string_view path, PathSyntax syntax = kNativeSyntax);

// The portable text of what remains of `path` after the components of `root`
// are removed from its front, both lexically normalised; nothing when `path`
// does not start with `root`'s components or what remains is not relative.
// Equal paths give the empty text.
std::optional<std::string> relative_remainder(std::string_view root, std::string_view path,
                                              PathSyntax syntax = kNativeSyntax);

// True when `path` lies strictly below `root`, lexically: something remains
// after `root` (see relative_remainder) and it does not begin with "..".
bool strictly_inside(std::string_view root, std::string_view path, PathSyntax syntax = kNativeSyntax);

// The components of a relative path as text joined with "/"; "" for none.
std::string portable_text(std::string_view relative, PathSyntax syntax = kNativeSyntax);

// The path without its final component ("/a/b" gives "/a", "a" gives ""), or
// nothing when the path ends in its root or prefix, or is empty.
std::optional<std::string_view> parent_path(std::string_view path, PathSyntax syntax = kNativeSyntax);

// The final component when it is a normal one ("/a/b/" gives "b"; "/a/.."
// and "/" give nothing).
std::optional<std::string_view> final_component(std::string_view path, PathSyntax syntax = kNativeSyntax);

// The final component as text, or the whole path as text when there is no
// such component ("C:\" is labelled "C:\").
std::string vault_label(std::string_view path, PathSyntax syntax = kNativeSyntax);

// The form in which paths are reported: Windows drops the extended-length
// prefix (paths::display_form); on POSIX a path is shown as it is.
std::string display_path(std::string_view path, PathSyntax syntax = kNativeSyntax);

}  // namespace paths
