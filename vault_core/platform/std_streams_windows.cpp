// Windows implementation of the standard streams: the raw handles with
// ReadFile and WriteFile, so bytes pass unchanged (no CR LF translation, no
// Ctrl-Z end of input) and a write to a closed pipe is an error, not a crash.
#include <windows.h>

#include <algorithm>

#include "vault_core/platform/std_streams.h"

namespace platform {

void prepare_standard_streams() {
  // The server runs without a window: a drive without a medium must fail its
  // call instead of asking the user in a dialog box that blocks the call.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

Result<std::size_t> read_standard_input(char* buffer, std::size_t size) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    return std::unexpected(system_error(int{ERROR_INVALID_HANDLE}));
  }
  DWORD n = 0;
  const auto ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (::ReadFile(input, buffer, ask, &n, nullptr)) return n;  // 0: the end of a file, or of a pipe under wine
  // The writer closed its end of the pipe.
  if (::GetLastError() == ERROR_BROKEN_PIPE || ::GetLastError() == ERROR_HANDLE_EOF) return 0;
  return last_system_error();
}

Result<void> write_standard_output(std::string_view data) {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) {
    return std::unexpected(system_error(int{ERROR_INVALID_HANDLE}));
  }
  while (!data.empty()) {
    DWORD n = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    // A reader that has gone makes this fail (ERROR_NO_DATA, ERROR_BROKEN_PIPE).
    if (!::WriteFile(output, data.data(), chunk, &n, nullptr)) return last_system_error();
    if (n == 0) return std::unexpected(make_error_code(Failure::write_zero));
    data.remove_prefix(n);
  }
  return {};
}

}  // namespace platform
