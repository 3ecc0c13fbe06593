// Any two byte strings as a root and a path, through the lexical path rules of
// both syntaxes. Besides not crashing:
// - lexical normalisation is idempotent;
// - paths::paths_equal is reflexive and symmetric;
// - joining a relative path (no prefix, no root) onto a normal absolute root
//   and normalising never climbs above the root's drive root: the result
//   starts with it and has no ".." component;
// - a path strictly inside a root has a portable remainder that is relative,
//   not empty and does not begin with ".." (after a verbatim prefix, where
//   "/" is part of a name, a name's text may begin with "/" or "../").
// The input is the root, a NUL byte, then the path (no NUL: the path is empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vault_core/paths/path_syntax.h"
#include "vault_core/paths/windows_path.h"
#include "vault_core/unicode/unicode.h"

namespace {

// The drive root of an absolute path: what remains when every final
// component is taken away ("C:\a\b" gives "C:\", "/a" gives "/").
std::string_view drive_root(std::string_view path, paths::PathSyntax syntax) {
  while (const auto parent = paths::parent_path(path, syntax)) path = *parent;
  return path;
}

// True when every component after the prefix and root is a normal one (no
// "." and no "..").
bool only_normal_components(std::string_view path, paths::PathSyntax syntax) {
  while (const auto parent = paths::parent_path(path, syntax)) {
    if (!paths::final_component(path, syntax)) return false;
    path = *parent;
  }
  return true;
}

// True when `path` has neither a prefix nor a root separator.
bool plain_relative(std::string_view path, paths::PathSyntax syntax) {
  if (path.empty()) return true;
  if (syntax == paths::PathSyntax::posix) return path.front() != '/';
  return !paths::parse_prefix(path) && !paths::is_separator(path.front());
}

// True for a Windows path with a verbatim prefix.
bool verbatim(std::string_view path, paths::PathSyntax syntax) {
  if (syntax != paths::PathSyntax::windows) return false;
  const auto prefix = paths::parse_prefix(path);
  return prefix && paths::is_verbatim(prefix->kind);
}

void check(std::string_view root, std::string_view path, paths::PathSyntax syntax) {
  const std::string normal = paths::lexical_normalize(path, syntax);
  if (paths::lexical_normalize(normal, syntax) != normal) std::abort();
  if (!paths::paths_equal(path, path, syntax)) std::abort();
  if (paths::paths_equal(root, path, syntax) != paths::paths_equal(path, root, syntax)) std::abort();

  if (paths::strictly_inside(root, path, syntax)) {
    const auto rest = paths::relative_remainder(root, path, syntax);
    if (!rest || rest->empty() || *rest == "..") std::abort();
    if (!verbatim(path, syntax) && (rest->starts_with('/') || rest->starts_with("../"))) std::abort();
  }

  // A root in normal form (absolute, only normal components) as text, as
  // paths::join_normalize gives its result: joined with a relative path, the result
  // starts with the root's drive root and has only normal components.
  const std::string base = unicode::lossy_utf8(paths::lexical_normalize(root, syntax));
  if (paths::is_absolute_path(base, syntax) && only_normal_components(base, syntax) && plain_relative(path, syntax)) {
    const std::string joined = paths::join_normalize(base, path, syntax);
    if (!joined.starts_with(drive_root(base, syntax)) || !only_normal_components(joined, syntax)) std::abort();
  }

  static_cast<void>(paths::display_path(path, syntax));
  static_cast<void>(paths::vault_label(path, syntax));
  static_cast<void>(paths::final_component(path, syntax));
  static_cast<void>(paths::join_path(root, path, syntax));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view root = input.substr(0, nul);
  const std::string_view path = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  check(root, path, paths::PathSyntax::posix);
  check(root, path, paths::PathSyntax::windows);
  return 0;
}
