// Helpers shared by the Windows implementation files (Windows only): text
// between the server's UTF-8 strings and the UTF-16 strings of the
// wide-character API, command lines, and the live Win32 environment.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vault_core/platform/error.h"

namespace platform {

// The UTF-16 form of well-formed UTF-8 text. Ill-formed UTF-8 (overlong
// forms, encoded surrogates, stray bytes) and NUL characters, which would cut
// the text short at the API, fail with ERROR_INVALID_NAME when `is_name`, as
// Windows reports a name it refuses, and with ERROR_INVALID_PARAMETER otherwise.
[[nodiscard]] Result<std::wstring> to_utf16(std::string_view text, bool is_name = false);

// The UTF-8 form of UTF-16 text. A surrogate without its partner, which
// Windows allows in names and environment values, is kept as the three bytes
// that encode its code unit: the result is then not valid UTF-8 (callers that
// need text see it as such), yet no two inputs share a result.
std::string to_utf8(std::wstring_view text);

// Appends a space and `arg` to a command line so that the C runtime's parser
// (and CommandLineToArgvW) gives `arg` back unchanged: quoted when empty or
// when it holds white space or quotes; inside the quotes a run of backslashes
// is doubled when a quote or the closing quote follows it, and a quote is
// escaped with one more backslash.
void append_command_argument(std::wstring& line, std::wstring_view arg);

// The value of the variable `name` in the process's Win32 environment (not
// the C runtime's copy), or nothing when unset. Names ignore case.
std::optional<std::wstring> environment_variable(const std::wstring& name);

}  // namespace platform
