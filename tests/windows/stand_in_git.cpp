// A stand-in for git.exe in the Windows tests, where Git for Windows is not
// installed: "git clone -- SOURCE DESTINATION" copies the local folder SOURCE
// (a path or a file:// URL) to DESTINATION as a clone would, saying
// "Cloning into '...'..." on standard error as git does. A source that is no
// folder, or a destination that exists and is not empty, fails with git's
// "fatal: ..." message and exit code 128; other arguments with usage text and
// code 129. With TARNEL_STAND_IN_GIT_EXIT set, it does nothing and ends
// silently with that code, as a git that fails without a word.
#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "vault_core/platform/win32_windows.h"

namespace {

namespace fs = std::filesystem;

void say(std::string_view text) {
  const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD n = 0;
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

// "file:///C:/x" and "file://C:/x" name C:\x; anything else is a path.
std::wstring source_folder(std::wstring url) {
  if (url.starts_with(L"file://")) {
    url.erase(0, 7);
    if (url.size() >= 3 && url[0] == L'/' && url[2] == L':') url.erase(0, 1);
  }
  return url;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (const auto code = platform::environment_variable(L"TARNEL_STAND_IN_GIT_EXIT")) return std::stoi(*code);
  if (argc != 5 || std::wstring_view(argv[1]) != L"clone" || std::wstring_view(argv[2]) != L"--") {
    say("usage: git clone -- <repository> <directory>\n");
    return 129;
  }
  const std::string repository = platform::to_utf8(argv[3]);
  const std::string directory = platform::to_utf8(argv[4]);
  const fs::path source(source_folder(argv[3]));
  const fs::path destination(argv[4]);
  std::error_code ec;
  if (!fs::is_directory(source, ec)) {
    say("fatal: repository '" + repository + "' does not exist\n");
    return 128;
  }
  if (fs::exists(destination, ec) && !fs::is_empty(destination, ec)) {
    say("fatal: destination path '" + directory + "' already exists and is not an empty directory.\n");
    return 128;
  }
  say("Cloning into '" + directory + "'...\n");
  // copy() makes the destination folder itself.
  fs::remove(destination, ec);
  fs::create_directories(destination.parent_path(), ec);
  fs::copy(source, destination, fs::copy_options::recursive, ec);
  if (ec) {
    say("fatal: could not copy '" + repository + "' to '" + directory + "': " + ec.message() + "\n");
    return 128;
  }
  return 0;
}
