// POSIX error numbers: the one place where errno becomes an error value and
// where error values are classified.
#include <cerrno>

#include "vault_core/platform/error.h"

namespace platform {

std::error_code system_error(int native) { return {native, std::generic_category()}; }

std::unexpected<std::error_code> last_system_error() { return std::unexpected(system_error(errno)); }

bool is_not_found(const std::error_code& ec) { return ec == std::errc::no_such_file_or_directory; }

bool is_already_exists(const std::error_code& ec) { return ec == std::errc::file_exists; }

bool is_permission_denied(const std::error_code& ec) {
  return ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted;
}

bool is_invalid_argument(const std::error_code& ec) { return ec == std::errc::invalid_argument; }

}  // namespace platform
