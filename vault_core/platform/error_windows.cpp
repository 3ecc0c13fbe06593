// Windows error numbers: the one place where GetLastError and WSAGetLastError
// values become error values and where error values are classified.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "vault_core/platform/error.h"
#include "vault_core/platform/win32_windows.h"

namespace platform {
namespace {

// Win32 and Winsock error numbers. The C++ runtime's system category would
// hold them too, but its messages come in the ANSI code page (not UTF-8 on a
// machine whose language is not English), it has no condition for any Winsock
// error and takes ERROR_INVALID_NAME for "no such file". This category keeps
// the raw number, takes its text from the system in UTF-16, and compares
// equal to the std::errc conditions the POSIX numbers of the same meaning
// give, so callers classify the same way on every platform.
class WindowsCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "windows"; }

  std::string message(int value) const override {
    wchar_t* buffer = nullptr;
    const DWORD size = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(value), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (size == 0 || buffer == nullptr) return "Unknown error " + std::to_string(value);
    std::wstring text(buffer, size);
    ::LocalFree(buffer);
    // One line without the line break the system ends it with.
    for (wchar_t& c : text) {
      if (c == L'\r' || c == L'\n') c = L' ';
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.pop_back();
    return to_utf8(text);
  }

  std::error_condition default_error_condition(int value) const noexcept override {
    switch (value) {
      case ERROR_INVALID_NAME: return std::errc::invalid_argument;
      case ERROR_DIRECTORY: return std::errc::not_a_directory;
      case ERROR_DIR_NOT_EMPTY: return std::errc::directory_not_empty;
      case ERROR_CANT_RESOLVE_FILENAME: return std::errc::too_many_symbolic_link_levels;
      case WSAEINTR: return std::errc::interrupted;
      case WSAEBADF: return std::errc::bad_file_descriptor;
      case WSAEACCES: return std::errc::permission_denied;
      case WSAEFAULT: return std::errc::bad_address;
      case WSAEINVAL: return std::errc::invalid_argument;
      case WSAEMFILE: return std::errc::too_many_files_open;
      case WSAEWOULDBLOCK: return std::errc::resource_unavailable_try_again;
      case WSAEINPROGRESS: return std::errc::operation_in_progress;
      case WSAEALREADY: return std::errc::connection_already_in_progress;
      case WSAENOTSOCK: return std::errc::not_a_socket;
      case WSAEADDRINUSE: return std::errc::address_in_use;
      case WSAEADDRNOTAVAIL: return std::errc::address_not_available;
      case WSAENETDOWN: return std::errc::network_down;
      case WSAENETUNREACH: return std::errc::network_unreachable;
      case WSAENETRESET: return std::errc::network_reset;
      case WSAECONNABORTED: return std::errc::connection_aborted;
      case WSAECONNRESET: return std::errc::connection_reset;
      case WSAENOBUFS: return std::errc::no_buffer_space;
      case WSAEISCONN: return std::errc::already_connected;
      case WSAENOTCONN: return std::errc::not_connected;
      case WSAETIMEDOUT: return std::errc::timed_out;
      case WSAECONNREFUSED: return std::errc::connection_refused;
      case WSAEHOSTUNREACH: return std::errc::host_unreachable;
      default: return std::system_category().default_error_condition(value);
    }
  }
};

const std::error_category& windows_category() {
  static const WindowsCategory category;
  return category;
}

// The raw number of a Windows error (of this category or of the C++
// runtime's system category), or 0 for an error of another category.
int windows_number(const std::error_code& ec) {
  return ec.category() == windows_category() || ec.category() == std::system_category() ? ec.value() : 0;
}

}  // namespace

std::error_code system_error(int native) { return {native, windows_category()}; }

std::unexpected<std::error_code> last_system_error() {
  return std::unexpected(system_error(static_cast<int>(::GetLastError())));
}

bool is_not_found(const std::error_code& ec) {
  if (const int n = windows_number(ec)) return n == ERROR_FILE_NOT_FOUND || n == ERROR_PATH_NOT_FOUND;
  return ec == std::errc::no_such_file_or_directory;
}

bool is_already_exists(const std::error_code& ec) {
  if (const int n = windows_number(ec)) return n == ERROR_FILE_EXISTS || n == ERROR_ALREADY_EXISTS;
  return ec == std::errc::file_exists;
}

bool is_permission_denied(const std::error_code& ec) {
  if (const int n = windows_number(ec)) return n == ERROR_ACCESS_DENIED;
  return ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted;
}

bool is_invalid_argument(const std::error_code& ec) {
  if (const int n = windows_number(ec)) return n == ERROR_INVALID_NAME || n == ERROR_INVALID_PARAMETER;
  return ec == std::errc::invalid_argument;
}

}  // namespace platform
