// A child for the process tests on Windows, which has no shell to script
// one: it carries out its arguments in order.
//   out:TEXT      writes TEXT to standard output
//   err:TEXT      writes TEXT to standard error
//   err-bytes:N   writes N bytes "x" to standard error
//   env:NAME      writes the value of the variable NAME, or "<unset>", to standard error
//   stdin         copies standard input to standard error
//   args          writes every argument after it as "[argument]" to standard error, and stops
//   exit:N        ends with exit code N
//   hold:PATH     opens the file PATH for reading without sharing delete
//                 access (as some editors do), and keeps it open
//   lock:FOLDER   takes the file system's lock on FOLDER, and keeps it
//   wait          reads standard input to its end
// Texts are UTF-8 and written byte for byte (no CR LF translation). What it
// holds is released when it ends.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "vault_core/platform/fs.h"
#include "vault_core/platform/win32_windows.h"

namespace {

void write(DWORD stream, std::string_view bytes) {
  const HANDLE h = ::GetStdHandle(stream);
  while (!bytes.empty()) {
    DWORD n = 0;
    if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) || n == 0) return;
    bytes.remove_prefix(n);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<platform::Dir> locked;
  for (int i = 1; i < argc; ++i) {
    const std::string step = platform::to_utf8(argv[i]);
    const std::string_view value = std::string_view(step).substr(step.find(':') + 1);
    if (step.starts_with("out:")) {
      write(STD_OUTPUT_HANDLE, value);
    } else if (step.starts_with("err:")) {
      write(STD_ERROR_HANDLE, value);
    } else if (step.starts_with("err-bytes:")) {
      write(STD_ERROR_HANDLE, std::string(std::stoul(std::string(value)), 'x'));
    } else if (step.starts_with("env:")) {
      const auto found = platform::environment_variable(platform::to_utf16(value).value());
      write(STD_ERROR_HANDLE, found ? platform::to_utf8(*found) : "<unset>");
    } else if (step == "stdin") {
      char buffer[4096];
      DWORD n = 0;
      while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0) {
        write(STD_ERROR_HANDLE, std::string_view(buffer, n));
      }
    } else if (step == "args") {
      for (++i; i < argc; ++i) write(STD_ERROR_HANDLE, "[" + platform::to_utf8(argv[i]) + "]");
    } else if (step.starts_with("exit:")) {
      return std::stoi(std::string(value));
    } else if (step.starts_with("hold:")) {
      const HANDLE h = ::CreateFileW(platform::to_utf16(value).value().c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return 3;
    } else if (step.starts_with("lock:")) {
      auto folder = platform::native_fs().open_dir(std::string(value), platform::DirUse::reach);
      if (!folder || !platform::native_fs().lock(*folder, std::chrono::milliseconds(10000))) return 4;
      locked.push_back(std::move(*folder));
    } else if (step == "wait") {
      char buffer[256];
      DWORD n = 0;
      while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0) {
      }
    } else {
      write(STD_ERROR_HANDLE, "process_probe: unknown step " + step + "\n");
      return 2;
    }
  }
  return 0;
}
