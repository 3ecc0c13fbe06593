// Error values of the platform layer: every failed operating-system call is an
// std::error_code that keeps the raw errno, so callers can classify it with
// std::errc and print it with message() (the C library's strerror text).
#pragma once

#include <cerrno>
#include <expected>
#include <system_error>

namespace platform {

template <class T>
using Result = std::expected<T, std::error_code>;

// The error code for an errno value.
inline std::error_code errno_code(int e) { return {e, std::generic_category()}; }

// The error code for the current errno.
inline std::unexpected<std::error_code> last_error() { return std::unexpected(errno_code(errno)); }

// Errors that are not an errno: a write that made no progress, and a file
// read as text whose bytes are not UTF-8.
enum class Failure { write_zero = 1, invalid_utf8 = 2 };
const std::error_category& failure_category();
inline std::error_code make_error_code(Failure f) { return {static_cast<int>(f), failure_category()}; }

// True for the permission-denied class (EACCES, EPERM).
inline bool is_permission_denied(const std::error_code& ec) {
  return ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted;
}

}  // namespace platform

template <>
struct std::is_error_code_enum<platform::Failure> : std::true_type {};
