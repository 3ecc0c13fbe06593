// Starting the server and reading its pipes on Windows: CreateProcessW with
// anonymous pipes, which are polled with PeekNamedPipe (they cannot wait with
// a time-out).
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>

#include "tests/support/server_process.h"
#include "vault_core/platform/win32_windows.h"

namespace {

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::wstring wide(const std::string& text) { return platform::to_utf16(text).value(); }

std::string variable(const wchar_t* name) {
  const auto value = platform::environment_variable(name);
  return value ? platform::to_utf8(*value) : std::string();
}

// What is waiting in the pipe `h`: the number of bytes, or nothing once the
// other end is closed and everything was read.
std::optional<DWORD> available(HANDLE h) {
  DWORD n = 0;
  if (h == nullptr || !::PeekNamedPipe(h, nullptr, 0, nullptr, &n, nullptr)) return std::nullopt;
  return n;
}

// Appends what is waiting in `h` to `out`; false at the end of the pipe.
bool drain(HANDLE h, std::string& out) {
  const auto n = available(h);
  if (!n) return false;
  if (*n == 0) return true;
  std::string chunk(*n, '\0');
  DWORD read = 0;
  if (!::ReadFile(h, chunk.data(), *n, &read, nullptr)) return false;
  out.append(chunk.data(), read);
  return true;
}

}  // namespace

EnvList base_env(const std::string& root) {
  EnvList env;
  env.emplace_back("PATH", variable(L"PATH"));
  env.emplace_back("HOME", root + "\\home");
  env.emplace_back("XDG_CONFIG_HOME", root + "\\config");
  env.emplace_back("WS_UI_PORT", "1");
  // Winsock and the C runtime need these in every process.
  for (const wchar_t* keep : {L"SystemRoot", L"windir", L"SystemDrive", L"TEMP", L"TMP"}) {
    if (const auto value = platform::environment_variable(keep)) {
      env.emplace_back(platform::to_utf8(keep), platform::to_utf8(*value));
    }
  }
  return env;
}

ServerProcess::ServerProcess(const EnvList& env, const std::vector<std::string>& args) {
  // Our ends are not inherited; the child's ends are, and only by it.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr, child_err = nullptr;
  HANDLE in = nullptr, out = nullptr, err = nullptr;
  if (!::CreatePipe(&child_in, &in, &inheritable, 0) || !::CreatePipe(&out, &child_out, &inheritable, 0) ||
      !::CreatePipe(&err, &child_err, &inheritable, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
  for (HANDLE mine : {in, out, err}) ::SetHandleInformation(mine, HANDLE_FLAG_INHERIT, 0);

  std::wstring binary = wide(TARNEL_SERVER_BINARY);
  std::replace(binary.begin(), binary.end(), L'/', L'\\');
  std::wstring command_line = L"\"" + binary + L"\"";
  for (const auto& a : args) platform::append_command_argument(command_line, wide(a));

  // The environment block: entries sorted by name without regard to case.
  std::vector<std::wstring> entries;
  for (const auto& [name, value] : env) entries.push_back(wide(name) + L"=" + wide(value));
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    const std::wstring_view na = std::wstring_view(a).substr(0, a.find(L'='));
    const std::wstring_view nb = std::wstring_view(b).substr(0, b.find(L'='));
    return ::CompareStringOrdinal(na.data(), static_cast<int>(na.size()), nb.data(), static_cast<int>(nb.size()),
                                  TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& e : entries) block += e + L'\0';
  block += L'\0';

  std::array<HANDLE, 3> inherited{child_in, child_out, child_err};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> list(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  ::InitializeProcThreadAttributeList(attributes, 1, 0, &size);
  ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                              sizeof(HANDLE) * inherited.size(), nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_in;
  startup.StartupInfo.hStdOutput = child_out;
  startup.StartupInfo.hStdError = child_err;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION started{};
  const BOOL ok = ::CreateProcessW(binary.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                   CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW,
                                   block.data(), nullptr, &startup.StartupInfo, &started);
  ::DeleteProcThreadAttributeList(attributes);
  for (HANDLE theirs : inherited) ::CloseHandle(theirs);
  if (!ok) {
    for (HANDLE mine : {in, out, err}) ::CloseHandle(mine);
    throw std::runtime_error("cannot start " + std::string(TARNEL_SERVER_BINARY));
  }
  ::CloseHandle(started.hThread);
  process_ = started.hProcess;
  pid_ = static_cast<int>(started.dwProcessId);
  in_ = in;
  out_ = out;
  err_ = err;
}

ServerProcess::~ServerProcess() {
  if (!finished_ && process_ != nullptr) {
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, INFINITE);
  }
  for (void* h : {process_, in_, out_, err_}) {
    if (h != nullptr) ::CloseHandle(h);
  }
}

void ServerProcess::send(std::string_view bytes) {
  while (!bytes.empty() && in_ != nullptr) {
    DWORD n = 0;
    if (!::WriteFile(in_, bytes.data(), static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20)), &n,
                     nullptr)) {
      return;  // the server may have exited; the test checks that itself
    }
    bytes.remove_prefix(n);
  }
}

bool ServerProcess::fill(int ms) {
  const long long deadline = now_ms() + ms;
  while (true) {
    const std::size_t before = out_buffer_.size();
    if (!drain(out_, out_buffer_)) return out_buffer_.size() > before;
    if (out_buffer_.size() > before) return true;
    if (now_ms() >= deadline) return true;
    ::Sleep(1);
  }
}

bool ServerProcess::silent_for(int ms) {
  if (!out_buffer_.empty()) return false;
  fill(ms);
  return out_buffer_.empty();
}

void ServerProcess::close_stdout() {
  if (out_ != nullptr) ::CloseHandle(out_);
  out_ = nullptr;
}

int ServerProcess::finish(int timeout_ms) {
  if (finished_) return exit_code_;
  if (in_ != nullptr) {
    ::CloseHandle(in_);
    in_ = nullptr;
  }
  const long long deadline = now_ms() + timeout_ms;
  while (true) {
    // Keep draining both pipes so a chatty child never blocks on a full pipe.
    drain(out_, out_buffer_);
    drain(err_, stderr_);
    if (::WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) break;
    if (now_ms() > deadline) {
      ADD_FAILURE() << "server did not exit within " << timeout_ms << " ms";
      ::TerminateProcess(process_, 1);
      ::WaitForSingleObject(process_, INFINITE);
      break;
    }
  }
  // Collect what is left in both pipes.
  while (drain(out_, out_buffer_) && available(out_).value_or(0) > 0) {
  }
  while (drain(err_, stderr_) && available(err_).value_or(0) > 0) {
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  finished_ = true;
  exit_code_ = static_cast<int>(code);
  return exit_code_;
}
