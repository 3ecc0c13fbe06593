// TEMPORARY: a Windows file system whose every operation fails with
// ERROR_CALL_NOT_IMPLEMENTED, so that the modules that need no file system
// link and run their tests under wine until the real implementation replaces
// this file.
#include <windows.h>

#include "vault_core/platform/fs.h"

namespace platform {

struct Dir::State {};

namespace {

std::unexpected<std::error_code> not_implemented() { return std::unexpected(system_error(ERROR_CALL_NOT_IMPLEMENTED)); }

class UnimplementedFileSystem final : public FileSystem {
 public:
  Result<FileInfo> metadata(const std::string&) override { return not_implemented(); }
  Result<std::string> canonicalize(const std::string&) override { return not_implemented(); }
  Result<void> create_directories(const std::string&) override { return not_implemented(); }
  Result<File> open_file(const std::string&, OpenMode) override { return not_implemented(); }
  Result<Dir> open_dir(const std::string&, DirUse) override { return not_implemented(); }
  Result<void> rename(const std::string&, const std::string&) override { return not_implemented(); }
  Result<void> remove_file(const std::string&) override { return not_implemented(); }
  Result<void> remove_all(const std::string&) override { return not_implemented(); }
  Result<File> open_at(Dir&, std::string_view, OpenMode, Links) override { return not_implemented(); }
  Result<Dir> open_dir_at(Dir&, std::string_view, DirUse) override { return not_implemented(); }
  Result<FileInfo> metadata_at(Dir&, std::string_view) override { return not_implemented(); }
  Result<void> create_dir_at(Dir&, std::string_view) override { return not_implemented(); }
  Result<void> rename_at(Dir&, std::string_view, std::string_view) override { return not_implemented(); }
  Result<void> remove_at(Dir&, std::string_view) override { return not_implemented(); }
  Result<std::string> final_name(const File&) override { return not_implemented(); }
  Result<std::string> final_name(const Dir&) override { return not_implemented(); }
  Result<FileInfo> file_metadata(File&) override { return not_implemented(); }
  Result<FileContent> read(File&, std::size_t) override { return not_implemented(); }
  Result<void> write_all(File&, std::string_view) override { return not_implemented(); }
  Result<void> sync(File&) override { return not_implemented(); }
  Result<void> set_permissions(File&, Permissions) override { return not_implemented(); }
  Result<void> truncate(File&, std::uint64_t) override { return not_implemented(); }
  Result<void> close(File&) override { return not_implemented(); }
  Result<std::optional<DirEntry>> next_entry(Dir&) override { return not_implemented(); }
  Result<void> lock(Dir&, std::chrono::milliseconds) override { return not_implemented(); }
};

FileSystem* active = nullptr;

}  // namespace

// No file is ever opened, so there is nothing to close.
File& File::operator=(File&& other) noexcept {
  handle_ = std::exchange(other.handle_, kNone);
  return *this;
}
File::~File() = default;
Dir::Dir() = default;
Dir::Dir(Dir&& other) noexcept = default;
Dir& Dir::operator=(Dir&& other) noexcept = default;
Dir::~Dir() = default;

FileSystem& native_fs() {
  static UnimplementedFileSystem instance;
  return instance;
}

FileSystem& fs() { return active != nullptr ? *active : native_fs(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(active) { active = &replacement; }
ScopedFileSystem::~ScopedFileSystem() { active = previous_; }

}  // namespace platform
