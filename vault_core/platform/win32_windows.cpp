// Text conversions, command lines and the live environment for the Win32 calls of the platform layer.
#include "vault_core/platform/win32_windows.h"

#include <windows.h>

#include <cstdint>

#include "vault_core/unicode/unicode.h"

namespace platform {

Result<std::wstring> to_utf16(std::string_view text, bool is_name) {
  if (!unicode::is_valid_utf8(text) || text.find('\0') != std::string_view::npos) {
    return std::unexpected(system_error(is_name ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER));
  }
  std::wstring wide;
  wide.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = unicode::decode(text, i);
    if (c < 0x10000) {
      wide.push_back(static_cast<wchar_t>(c));
    } else {
      wide.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return wide;
}

std::string to_utf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<char32_t>(static_cast<std::uint16_t>(text[i]));
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const auto next = i + 1 < text.size() ? static_cast<char32_t>(static_cast<std::uint16_t>(text[i + 1])) : 0;
    if (high && next >= 0xDC00 && next <= 0xDFFF) {
      unicode::encode(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), out);
      ++i;
    } else {
      unicode::encode(unit, out);  // a lone surrogate too: its code unit in the three-byte form
    }
  }
  return out;
}

std::optional<std::wstring> environment_variable(const std::wstring& name) {
  std::wstring value(64, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      // Zero is both "unset" and "set to the empty text".
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n is the size needed, the terminating NUL included
  }
}

void append_command_argument(std::wstring& line, std::wstring_view arg) {
  line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

}  // namespace platform
