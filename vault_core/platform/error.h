// Error values of the platform layer. A failed system call becomes an
// std::error_code that keeps the platform's raw error number (errno on POSIX,
// the Win32 or Winsock code on Windows), so callers print it with message()
// and classify it with the functions below, which mean the same on every
// platform. Errors that no system call reports have a category of their own.
#pragma once

#include <expected>
#include <system_error>

namespace platform {

template <class T>
using Result = std::expected<T, std::error_code>;

// The error code of the raw system error number `native` of this platform.
std::error_code system_error(int native);

// The error of the last failed system call of the calling thread.
std::unexpected<std::error_code> last_system_error();

// Errors that are no system error.
enum class Failure {
  write_zero = 1,    // a write accepted no byte: "failed to write whole buffer"
  invalid_utf8,      // a text file whose bytes are not UTF-8: "stream did not contain valid UTF-8"
  not_regular_file,  // a FIFO, socket or device where a regular file is required: "Not a regular file"
  lock_timeout,      // another process held a lock for longer than the wait allowed
};
const std::error_category& failure_category();
inline std::error_code make_error_code(Failure f) { return {static_cast<int>(f), failure_category()}; }

// Not found: ENOENT; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND. Not the
// Windows error 123 (a name the platform refuses), which the C++ runtime maps
// to "no such file" as well.
bool is_not_found(const std::error_code& ec);

// Already exists: EEXIST; ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS.
bool is_already_exists(const std::error_code& ec);

// Permission denied: EACCES, EPERM; the raw Windows error 5 (access denied).
bool is_permission_denied(const std::error_code& ec);

// A path or name the platform refuses: EINVAL; the raw Windows error 123
// (the file name, folder name or volume label syntax is incorrect).
bool is_invalid_argument(const std::error_code& ec);

}  // namespace platform

template <>
struct std::is_error_code_enum<platform::Failure> : std::true_type {};
