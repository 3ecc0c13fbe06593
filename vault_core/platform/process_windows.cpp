// Windows implementation of child processes, with CreateProcessW.
#include <windows.h>

#include <algorithm>
#include <array>
#include <utility>

#include "vault_core/platform/process.h"
#include "vault_core/platform/win32_windows.h"

namespace platform {
namespace {

// A handle closed when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) = delete;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* out() { return &h_; }
  void reset() {
    if (h_ != nullptr) ::CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

bool is_file(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The program file for `name`: ".exe" is appended when its last component
// has no extension, as Windows does. A name with a folder or a drive is
// taken as it is; any other is looked for in each folder of the live PATH in
// order (never in the current or the server's own folder, which Windows'
// own search would try first).
std::optional<std::wstring> find_program(const std::wstring& name) {
  const std::size_t last = name.find_last_of(L"\\/:");
  const std::size_t start = last == std::wstring::npos ? 0 : last + 1;
  const std::wstring file = name.find(L'.', start) == std::wstring::npos ? name + L".exe" : name;
  if (last != std::wstring::npos) return is_file(file) ? std::optional(file) : std::nullopt;
  const std::wstring path = environment_variable(L"PATH").value_or(L"");
  for (std::size_t begin = 0; begin <= path.size();) {
    std::size_t end = path.find(L';', begin);
    if (end == std::wstring::npos) end = path.size();
    std::wstring folder = path.substr(begin, end - begin);
    begin = end + 1;
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (folder.empty()) continue;
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    if (is_file(folder + file)) return folder + file;
  }
  return std::nullopt;
}

// The environment block of the child: the current Win32 environment without
// the names being replaced (names ignore case), then the extras, sorted by
// name without regard to case as Windows expects, each entry NUL-terminated
// and the block ended by one more NUL.
Result<std::wstring> environment_block(const std::vector<std::pair<std::string, std::string>>& extra_env) {
  std::vector<std::pair<std::wstring, std::wstring>> extras;
  for (const auto& [key, value] : extra_env) {
    auto wide_key = to_utf16(key);
    if (!wide_key) return std::unexpected(wide_key.error());
    auto wide_value = to_utf16(value);
    if (!wide_value) return std::unexpected(wide_value.error());
    extras.emplace_back(std::move(*wide_key), std::move(*wide_value));
  }
  // Names compare as Windows compares them: ordinal, ignoring case.
  const auto compare = [](std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE);
  };
  std::vector<std::wstring> entries;
  if (wchar_t* current = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = current; *entry != L'\0';) {
      const std::wstring_view text(entry);
      entry += text.size() + 1;
      // The first character of a name is never its end: "=C:=C:\x" is named "=C:".
      const std::wstring_view name = text.substr(0, text.find(L'=', 1));
      const auto same_name = [&](const auto& extra) { return compare(name, extra.first) == CSTR_EQUAL; };
      if (std::none_of(extras.begin(), extras.end(), same_name)) entries.emplace_back(text);
    }
    ::FreeEnvironmentStringsW(current);
  }
  for (const auto& [key, value] : extras) entries.push_back(key + L"=" + value);
  const auto name_of = [](const std::wstring& entry) {
    return std::wstring_view(entry).substr(0, entry.find(L'=', 1));
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
    return compare(name_of(a), name_of(b)) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& entry : entries) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

Result<Handle> open_null_device(DWORD access) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle device(
      ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));
  if (device.get() == nullptr) return last_system_error();
  return device;
}

}  // namespace

Result<ProcessOutcome> run_process(const std::string& program, const std::vector<std::string>& args,
                                   const std::vector<std::pair<std::string, std::string>>& extra_env) {
  auto wide_program = to_utf16(program, /*is_name=*/true);
  if (!wide_program) return std::unexpected(wide_program.error());
  // The program's name is the first argument; the runtime's parser takes it
  // up to the next quote, without escapes, so a quote cannot be part of it.
  if (wide_program->empty() || wide_program->find(L'"') != std::wstring::npos) {
    return std::unexpected(system_error(ERROR_INVALID_NAME));
  }
  std::wstring command_line = L"\"" + *wide_program + L"\"";
  for (const std::string& arg : args) {
    auto wide_arg = to_utf16(arg);
    if (!wide_arg) return std::unexpected(wide_arg.error());
    append_command_argument(command_line, *wide_arg);
  }
  auto environment = environment_block(extra_env);
  if (!environment) return std::unexpected(environment.error());
  const auto application = find_program(*wide_program);
  if (!application) return std::unexpected(system_error(ERROR_FILE_NOT_FOUND));

  auto null_input = open_null_device(GENERIC_READ);
  if (!null_input) return std::unexpected(null_input.error());
  auto null_output = open_null_device(GENERIC_WRITE);
  if (!null_output) return std::unexpected(null_output.error());
  Handle error_read, error_write;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!::CreatePipe(error_read.out(), error_write.out(), &inheritable, 0) ||
      !::SetHandleInformation(error_read.get(), HANDLE_FLAG_INHERIT, 0)) {
    return last_system_error();
  }

  // The child inherits these three handles and no other.
  std::array<HANDLE, 3> inherited{null_input->get(), null_output->get(), error_write.get()};
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_memory(list_size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &list_size)) return last_system_error();
  struct ListGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~ListGuard() { ::DeleteProcThreadAttributeList(list); }
  } list_guard{attributes};
  if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                   sizeof(HANDLE) * inherited.size(), nullptr, nullptr)) {
    return last_system_error();
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_input->get();
  startup.StartupInfo.hStdOutput = null_output->get();
  startup.StartupInfo.hStdError = error_write.get();
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(application->c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                        environment->data(), nullptr, &startup.StartupInfo, &started)) {
    return last_system_error();
  }
  Handle process(started.hProcess);
  ::CloseHandle(started.hThread);
  // Only the child holds the writing end now, so the read below ends when it
  // (and any process it passed its standard error on to) has closed it.
  error_write.reset();
  null_input->reset();
  null_output->reset();

  ProcessOutcome outcome;
  char buffer[4096];
  DWORD n = 0;
  // The end of the pipe is ERROR_BROKEN_PIPE on Windows, a read of no bytes under wine.
  while (::ReadFile(error_read.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    outcome.stderr_bytes.append(buffer, n);
  }
  if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return last_system_error();
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) return last_system_error();
  // A Windows process always ends with an exit code, also when it was killed.
  outcome.exit_code = static_cast<int>(code);
  return outcome;
}

}  // namespace platform
