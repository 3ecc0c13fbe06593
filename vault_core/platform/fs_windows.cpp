// TEMPORARY: a Windows file system whose every operation fails with
// ERROR_CALL_NOT_IMPLEMENTED. It exists only so that the modules that need no
// file system link and run their tests under wine while the file-system
// interface is being redesigned; the real implementation replaces this file.
#include <windows.h>

#include "vault_core/platform/fs.h"

namespace platform {
namespace {

std::unexpected<std::error_code> not_implemented() { return std::unexpected(system_error(ERROR_CALL_NOT_IMPLEMENTED)); }

FileSystem& windows_fs() {
  static FileSystem instance;
  return instance;
}

FileSystem* active = nullptr;

}  // namespace

// No descriptor is ever opened, so there is nothing to close.
File& File::operator=(File&& other) noexcept {
  fd_ = other.release();
  return *this;
}
File::~File() = default;
DirStream& DirStream::operator=(DirStream&& other) noexcept {
  dir_ = other.dir_;
  other.dir_ = nullptr;
  return *this;
}
DirStream::~DirStream() = default;

Result<FileInfo> FileSystem::metadata(const std::string&) { return not_implemented(); }
Result<std::string> FileSystem::canonicalize(const std::string&) { return not_implemented(); }
Result<std::string> FileSystem::canonicalize_directory(const std::string&) { return not_implemented(); }
Result<void> FileSystem::create_directories(const std::string&) { return not_implemented(); }
Result<void> FileSystem::read_file(const std::string&, std::string&, Result<FileInfo>*) { return not_implemented(); }
Result<void> FileSystem::read_file_prefix(const std::string&, std::size_t, std::string&, FileInfo&) {
  return not_implemented();
}
Result<File> FileSystem::open(const std::string&, OpenMode, std::uint32_t) { return not_implemented(); }
Result<void> FileSystem::write_all(File&, std::string_view) { return not_implemented(); }
Result<void> FileSystem::sync(File&) { return not_implemented(); }
Result<void> FileSystem::set_permissions(File&, std::uint32_t) { return not_implemented(); }
Result<FileInfo> FileSystem::file_metadata(File&) { return not_implemented(); }
Result<void> FileSystem::truncate(File&, std::uint64_t) { return not_implemented(); }
Result<void> FileSystem::close(File&) { return not_implemented(); }
Result<void> FileSystem::rename(const std::string&, const std::string&) { return not_implemented(); }
Result<void> FileSystem::remove_file(const std::string&) { return not_implemented(); }
Result<void> FileSystem::remove_all(const std::string&) { return not_implemented(); }
Result<DirStream> FileSystem::open_dir(const std::string&) { return not_implemented(); }
Result<std::optional<DirEntry>> FileSystem::next_entry(DirStream&, const std::string&) { return not_implemented(); }

FileSystem& fs() { return active != nullptr ? *active : windows_fs(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(active) { active = &replacement; }
ScopedFileSystem::~ScopedFileSystem() { active = previous_; }

Result<std::string> read_file(const std::string&) { return not_implemented(); }
Result<void> write_file(const std::string&, std::string_view) { return not_implemented(); }

}  // namespace platform
