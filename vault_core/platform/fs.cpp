// The file-system operations that a platform may leave out: their defaults
// keep every caller correct, only slower.
#include "vault_core/platform/fs.h"

namespace platform {

Result<std::optional<FileContent>> FileSystem::read_cached(File&, std::size_t) {
  return std::unexpected(std::make_error_code(std::errc::operation_not_supported));
}

void FileSystem::prefetch(File&, std::uint64_t) {}

}  // namespace platform
