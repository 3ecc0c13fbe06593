// The path component model and the lexical operations built on it.
#include "vault_core/paths/path_syntax.h"

#include <algorithm>
#include <span>
#include <vector>

#include "vault_core/paths/windows_path.h"
#include "vault_core/unicode/unicode.h"

namespace paths {

namespace {

using paths::Prefix;
using paths::PrefixKind;

enum class Kind { prefix, root, current, parent, normal };

struct Part {
  Kind kind;
  std::string_view text;  // as written; empty for the implied root of a UNC or device prefix
  std::size_t end;        // offset just past the part in the parsed text
};

// A parsed path. The views point into the text that was parsed.
struct Parsed {
  std::optional<Prefix> prefix;
  std::size_t before_body = 0;  // bytes of the prefix and the root separator
  std::vector<Part> parts;      // prefix, root, then the body
};

char main_separator(PathSyntax syntax) { return syntax == PathSyntax::windows ? '\\' : '/'; }

bool is_separator(char c, PathSyntax syntax, bool verbatim) {
  if (syntax == PathSyntax::posix) return c == '/';
  return c == '\\' || (!verbatim && c == '/');
}

Parsed parse(std::string_view text, PathSyntax syntax) {
  Parsed p;
  std::size_t pos = 0;
  if (syntax == PathSyntax::windows) {
    p.prefix = paths::parse_prefix(text);
    if (p.prefix) {
      pos = p.prefix->length;
      p.parts.push_back({Kind::prefix, text.substr(0, pos), pos});
    }
  }
  const bool verbatim = p.prefix && p.prefix->verbatim();
  if (pos < text.size() && is_separator(text[pos], syntax, verbatim)) {
    ++pos;
    p.parts.push_back({Kind::root, text.substr(pos - 1, 1), pos});
  } else if (p.prefix && p.prefix->implicit_root()) {
    p.parts.push_back({Kind::root, {}, pos});
  }
  p.before_body = pos;
  const bool at_start = p.parts.empty();
  while (pos < text.size()) {
    std::size_t end = pos;
    while (end < text.size() && !is_separator(text[end], syntax, verbatim)) ++end;
    const std::string_view piece = text.substr(pos, end - pos);
    if (piece == "..") {
      p.parts.push_back({Kind::parent, piece, end});
    } else if (piece == ".") {
      if (at_start && pos == 0) p.parts.push_back({Kind::current, piece, end});
    } else if (!piece.empty()) {
      p.parts.push_back({Kind::normal, piece, end});
    }
    pos = end + 1;
  }
  return p;
}

bool same_part(const Part& a, const Parsed& pa, const Part& b, const Parsed& pb) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Kind::prefix: return paths::same_prefix(*pa.prefix, *pb.prefix);
    case Kind::root: return true;
    default: return a.text == b.text;
  }
}

// The parts without "." and with each ".." cancelling a normal part before it.
std::vector<Part> normalized(const Parsed& p) {
  std::vector<Part> out;
  out.reserve(p.parts.size());
  for (const Part& part : p.parts) {
    if (part.kind == Kind::current) continue;
    if (part.kind == Kind::parent && !out.empty() && out.back().kind == Kind::normal) {
      out.pop_back();
      continue;
    }
    out.push_back(part);
  }
  return out;
}

// What separator placement needs to know about the prefix a text starts with.
struct PrefixShape {
  std::optional<PrefixKind> kind;
  std::size_t length = 0;
};

PrefixShape shape_of(const std::optional<Prefix>& prefix) {
  return prefix ? PrefixShape{prefix->kind, prefix->length} : PrefixShape{};
}

// True when a component appended to `text` needs a separator first: not after
// nothing, a separator, or a bare drive ("C:x" is drive-relative).
bool needs_separator(std::string_view text, PrefixShape prefix, PathSyntax syntax) {
  if (text.empty()) return false;
  const bool verbatim = prefix.kind && paths::is_verbatim(*prefix.kind);
  if (is_separator(text.back(), syntax, verbatim)) return false;
  return !(prefix.kind == PrefixKind::disk && text.size() == prefix.length);
}

// The path text of a sequence of parts, separators in the syntax's main form.
std::string render(std::span<const Part> parts, const std::optional<Prefix>& prefix, PathSyntax syntax) {
  std::string out;
  for (const Part& part : parts) {
    switch (part.kind) {
      case Kind::prefix: out.assign(part.text); break;
      case Kind::root: out += main_separator(syntax); break;
      default:
        if (needs_separator(out, shape_of(prefix), syntax)) out += main_separator(syntax);
        out.append(part.text);
    }
  }
  return out;
}

// The parts as text joined with "/" (a root reads as "/").
std::string portable(std::span<const Part> parts) {
  std::string out;
  bool separate = false;
  for (const Part& part : parts) {
    if (part.kind == Kind::root) {
      out += '/';
      separate = false;
      continue;
    }
    if (separate) out += '/';
    out.append(part.text);
    separate = true;
  }
  return unicode::lossy_utf8(out);
}

// What join_normalize needs to know about its current text.
struct JoinState {
  PrefixShape prefix;
  std::size_t before_body = 0;
  std::vector<Part> body;  // only kind and end are used
};

JoinState join_state(std::string_view text, PathSyntax syntax) {
  Parsed p = parse(text, syntax);
  JoinState s;
  s.prefix = shape_of(p.prefix);
  s.before_body = p.before_body;
  for (const Part& part : p.parts) {
    if (part.kind != Kind::prefix && part.kind != Kind::root) s.body.push_back({part.kind, {}, part.end});
  }
  return s;
}

// The normalised parts of `path` after those of `root`, or nothing when
// `path` does not start with them or what remains is not relative.
std::optional<std::vector<Part>> remainder(std::string_view root, std::string_view path, PathSyntax syntax) {
  const Parsed proot = parse(root, syntax);
  const Parsed ppath = parse(path, syntax);
  const std::vector<Part> r = normalized(proot);
  std::vector<Part> p = normalized(ppath);
  if (p.size() < r.size()) return std::nullopt;
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (!same_part(r[i], proot, p[i], ppath)) return std::nullopt;
  }
  p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(r.size()));
  if (!p.empty() && (p.front().kind == Kind::prefix || p.front().kind == Kind::root)) return std::nullopt;
  return p;
}

}  // namespace

bool is_absolute_path(std::string_view path, PathSyntax syntax) {
  if (syntax == PathSyntax::posix) return path.starts_with('/');
  const auto prefix = paths::parse_prefix(path);
  if (!prefix) return false;
  if (prefix->kind != PrefixKind::disk) return true;
  return path.size() > prefix->length && paths::is_separator(path[prefix->length]);
}

bool paths_equal(std::string_view a, std::string_view b, PathSyntax syntax) {
  if (a == b) return true;
  const Parsed pa = parse(a, syntax);
  const Parsed pb = parse(b, syntax);
  if (pa.parts.size() != pb.parts.size()) return false;
  for (std::size_t i = 0; i < pa.parts.size(); ++i) {
    if (!same_part(pa.parts[i], pa, pb.parts[i], pb)) return false;
  }
  return true;
}

std::string lexical_normalize(std::string_view path, PathSyntax syntax) {
  const Parsed p = parse(path, syntax);
  std::vector<Part> parts = normalized(p);
  // A relative path whose first name reads as a drive ("c:x", once "./" or
  // "a/../" in front of it is gone) keeps "." in front, or the text would
  // name another drive.
  if (!parts.empty() && parts.front().kind == Kind::normal && syntax == PathSyntax::windows &&
      paths::parse_prefix(parts.front().text)) {
    parts.insert(parts.begin(), Part{Kind::current, ".", 0});
  }
  return render(parts, p.prefix, syntax);
}

std::string join_path(std::string_view base, std::string_view relative, PathSyntax syntax) {
  const PrefixShape prefix = syntax == PathSyntax::windows ? shape_of(paths::parse_prefix(base)) : PrefixShape{};
  std::string out(base);
  if (needs_separator(out, prefix, syntax)) out += main_separator(syntax);
  const std::size_t start = out.size();
  out.append(relative);
  // After a verbatim prefix only "\" separates: the "/" of `relative` would
  // otherwise join its components into one name.
  if (prefix.kind && paths::is_verbatim(*prefix.kind)) {
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), '/', '\\');
  }
  return out;
}

std::string join_normalize(std::string_view root, std::string_view path, PathSyntax syntax) {
  std::string out(root);
  JoinState state = join_state(out, syntax);
  for (const Part& part : parse(path, syntax).parts) {
    switch (part.kind) {
      case Kind::current: break;
      case Kind::parent:
        if (!state.body.empty() && state.body.back().kind == Kind::normal) {
          state.body.pop_back();
          out.resize(state.body.empty() ? state.before_body : state.body.back().end);
        }
        break;
      case Kind::prefix:
        out.assign(part.text);
        state = join_state(out, syntax);
        break;
      case Kind::root:
        out.resize(state.prefix.length);
        out += main_separator(syntax);
        state = join_state(out, syntax);
        break;
      case Kind::normal:
        if (needs_separator(out, state.prefix, syntax)) out += main_separator(syntax);
        out.append(part.text);
        state.body.push_back({Kind::normal, {}, out.size()});
        break;
    }
  }
  return unicode::lossy_utf8(out);
}

std::optional<std::string> relative_remainder(std::string_view root, std::string_view path, PathSyntax syntax) {
  const auto rest = remainder(root, path, syntax);
  if (!rest) return std::nullopt;
  return portable(*rest);
}

namespace {

// True when `path` is `root`, "/" and components none of which is "." or
// "..": the form of a canonical POSIX name below a canonical folder, which the
// comparison of parsed components also finds inside. False decides nothing.
// The walk checks every note's name: this spares parsing both names, about a
// tenth of a full scan's processor time. Not for Windows paths, whose prefix
// can change with what follows it ("\\?" and "\\?\C:").
bool plainly_below(std::string_view root, std::string_view path, PathSyntax syntax) {
  if (syntax != PathSyntax::posix || root.empty() || path.size() <= root.size() + 1 || !path.starts_with(root) ||
      root.back() == '/' || path[root.size()] != '/') {
    return false;
  }
  std::string_view rest = path.substr(root.size() + 1);
  bool named = false;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('/'), rest.size());
    const std::string_view part = rest.substr(0, end);
    if (part == "." || part == "..") return false;
    named = named || !part.empty();
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return named;
}

}  // namespace

bool strictly_inside(std::string_view root, std::string_view path, PathSyntax syntax) {
  if (plainly_below(root, path, syntax)) return true;
  const auto rest = remainder(root, path, syntax);
  return rest && !rest->empty() && rest->front().kind != Kind::parent;
}

std::string portable_text(std::string_view relative, PathSyntax syntax) { return portable(parse(relative, syntax).parts); }

std::optional<std::string_view> parent_path(std::string_view path, PathSyntax syntax) {
  const Parsed p = parse(path, syntax);
  if (p.parts.empty()) return std::nullopt;
  const Kind last = p.parts.back().kind;
  if (last == Kind::prefix || last == Kind::root) return std::nullopt;
  return path.substr(0, p.parts.size() >= 2 ? p.parts[p.parts.size() - 2].end : 0);
}

std::optional<std::string_view> final_component(std::string_view path, PathSyntax syntax) {
  const Parsed p = parse(path, syntax);
  if (p.parts.empty() || p.parts.back().kind != Kind::normal) return std::nullopt;
  return p.parts.back().text;
}

std::string vault_label(std::string_view path, PathSyntax syntax) {
  const auto name = final_component(path, syntax);
  return unicode::lossy_utf8(name ? *name : path);
}

std::string display_path(std::string_view path, PathSyntax syntax) {
  return syntax == PathSyntax::windows ? paths::display_form(path) : std::string(path);
}

}  // namespace paths
