// Windows prefix recognition and the display form.
#include "vault_core/paths/windows_path.h"

namespace paths {
namespace {

// True when `path` holds `marker` at `at`, a backslash in the marker matching
// either slash.
bool has_marker(std::string_view path, std::size_t at, std::string_view marker) {
  if (path.size() < at + marker.size()) return false;
  for (std::size_t i = 0; i < marker.size(); ++i) {
    const char c = path[at + i];
    if (marker[i] == '\\' ? !is_separator(c) : c != marker[i]) return false;
  }
  return true;
}

// Splits `text` at its first separator: the part before it and the rest after it.
std::pair<std::string_view, std::string_view> next_component(std::string_view text, bool verbatim) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' || (!verbatim && text[i] == '/')) return {text.substr(0, i), text.substr(i + 1)};
  }
  return {text, {}};
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_drive(std::string_view text) { return text.size() >= 2 && is_ascii_letter(text[0]) && text[1] == ':'; }

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::optional<Prefix> parse_prefix(std::string_view path) {
  if (has_marker(path, 0, "\\\\")) {
    if (has_marker(path, 2, "?\\")) {
      if (has_marker(path, 4, "UNC\\")) {
        const auto [server, rest] = next_component(path.substr(8), true);
        const std::string_view share = next_component(rest, true).first;
        const std::size_t length = 8 + server.size() + (share.empty() ? 0 : 1 + share.size());
        return Prefix{PrefixKind::verbatim_unc, length, server, share};
      }
      const std::string_view name = next_component(path.substr(4), true).first;
      if (name.size() == 2 && is_drive(name)) return Prefix{PrefixKind::verbatim_disk, 6, name.substr(0, 1), {}};
      return Prefix{PrefixKind::verbatim, 4 + name.size(), name, {}};
    }
    if (has_marker(path, 2, ".\\")) {
      const std::string_view name = next_component(path.substr(4), false).first;
      return Prefix{PrefixKind::device, 4 + name.size(), name, {}};
    }
    const auto [server, rest] = next_component(path.substr(2), false);
    const std::string_view share = next_component(rest, false).first;
    if (server.empty() || share.empty()) return std::nullopt;
    return Prefix{PrefixKind::unc, 2 + server.size() + 1 + share.size(), server, share};
  }
  if (is_drive(path)) return Prefix{PrefixKind::disk, 2, path.substr(0, 1), {}};
  return std::nullopt;
}

bool same_prefix(const Prefix& a, const Prefix& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == PrefixKind::disk || a.kind == PrefixKind::verbatim_disk) {
    return ascii_upper(a.name[0]) == ascii_upper(b.name[0]);
  }
  return a.name == b.name && a.share == b.share;
}

std::string display_form(std::string_view path) {
  if (!path.starts_with(R"(\\?\)") && !path.starts_with(R"(\??\)")) return std::string(path);
  const std::string_view rest = path.substr(4);
  if (rest.starts_with("UNC\\")) return "\\\\" + std::string(rest.substr(4));
  return std::string(rest);
}

}  // namespace paths
