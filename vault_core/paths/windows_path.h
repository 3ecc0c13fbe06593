// Windows path texts: recognising the prefix a path starts with (drive letter,
// UNC share, verbatim and device forms) and the display form that drops the
// extended-length prefix. Pure text rules; nothing here touches the system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace paths {

enum class PrefixKind {
  verbatim,       // \\?\name
  verbatim_unc,   // \\?\UNC\server\share
  verbatim_disk,  // \\?\C:
  device,         // \\.\name
  unc,            // \\server\share
  disk,           // C:
};

// True for the verbatim kinds, after which only the backslash separates.
inline bool is_verbatim(PrefixKind kind) {
  return kind == PrefixKind::verbatim || kind == PrefixKind::verbatim_unc || kind == PrefixKind::verbatim_disk;
}

// The prefix at the start of a path text. The views point into that text.
struct Prefix {
  PrefixKind kind = PrefixKind::disk;
  std::size_t length = 0;   // bytes of the text the prefix covers
  std::string_view name;    // drive letter, UNC server, or verbatim or device name
  std::string_view share;   // UNC share (both UNC kinds); empty otherwise

  bool verbatim() const { return is_verbatim(kind); }
  // UNC shares and devices are rooted even without a separator after them.
  bool implicit_root() const { return kind == PrefixKind::unc || kind == PrefixKind::device; }
};

// True for the two separators of ordinary Windows paths.
inline bool is_separator(char c) { return c == '\\' || c == '/'; }

// The prefix `path` starts with, or nothing. The leading markers ("\\",
// "?\", ".\", "UNC\") accept either slash; the server, share and names end at
// the next separator (only a backslash after a verbatim marker). A UNC prefix
// needs a non-empty server and share; a drive is one ASCII letter and ':'.
std::optional<Prefix> parse_prefix(std::string_view path);

// Prefix equality: same kind, drive letters without regard to case, every
// other part byte for byte.
bool same_prefix(const Prefix& a, const Prefix& b);

// `path` without a leading "\\?\" or "\??\"; a "UNC\" that follows becomes
// "\\" (a verbatim UNC path becomes an ordinary UNC path). Any other text is
// returned unchanged.
std::string display_form(std::string_view path);

}  // namespace paths
