#include "tests/windows/helper_programs.h"

#include <windows.h>

#include "vault_core/platform/win32_windows.h"

namespace {

// The folder of the running test executable, with a trailing backslash.
std::string own_folder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return platform::to_utf8(path.substr(0, path.find_last_of(L"\\/") + 1));
}

}  // namespace

std::string process_probe_path() { return own_folder() + "process_probe.exe"; }

std::string stand_in_git_folder() { return own_folder() + "stand-in-git"; }

ProbeChild::ProbeChild(const std::vector<std::string>& steps) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr, in = nullptr, out = nullptr;
  ::CreatePipe(&child_in, &in, &inheritable, 0);
  ::CreatePipe(&out, &child_out, &inheritable, 0);
  ::SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = L"\"" + platform::to_utf16(process_probe_path()).value() + L"\"";
  for (const auto& step : steps) command += L" \"" + platform::to_utf16(step).value() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started{};
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                       &started)) {
    ::CloseHandle(started.hThread);
    process_ = started.hProcess;
  }
  ::CloseHandle(child_in);
  ::CloseHandle(child_out);
  in_ = in;
  out_ = out;
}

ProbeChild::~ProbeChild() {
  finish();
  if (out_ != nullptr) ::CloseHandle(out_);
}

bool ProbeChild::wait_for(const std::string& text, int ms) {
  for (int waited = 0; seen_.find(text) == std::string::npos; waited += 5) {
    DWORD available = 0;
    if (!::PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) {
      std::string chunk(available, '\0');
      DWORD n = 0;
      if (!::ReadFile(out_, chunk.data(), available, &n, nullptr)) return false;
      seen_.append(chunk.data(), n);
      continue;
    }
    if (waited >= ms) return false;
    ::Sleep(5);
  }
  return true;
}

int ProbeChild::finish() {
  if (in_ != nullptr) {
    ::CloseHandle(in_);
    in_ = nullptr;
  }
  if (process_ == nullptr) return -1;
  ::WaitForSingleObject(process_, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  ::CloseHandle(process_);
  process_ = nullptr;
  return static_cast<int>(code);
}

void ProbeChild::kill() {
  if (process_ == nullptr) return;
  ::TerminateProcess(process_, 1);
  ::WaitForSingleObject(process_, INFINITE);
}
