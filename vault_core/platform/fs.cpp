// What every platform's file system shares: the operations a platform may
// leave out (their defaults keep every caller correct, only slower), and the
// choice between the native file system and a test's replacement.
#include "vault_core/platform/fs.h"

namespace platform {
namespace {

FileSystem* active = nullptr;

}  // namespace

Result<std::optional<FileContent>> FileSystem::read_cached(File&, std::size_t) {
  return std::unexpected(std::make_error_code(std::errc::operation_not_supported));
}

void FileSystem::prefetch(File&, std::uint64_t) {}

FileSystem& fs() { return active != nullptr ? *active : native_fs(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(active) { active = &replacement; }
ScopedFileSystem::~ScopedFileSystem() { active = previous_; }

}  // namespace platform
