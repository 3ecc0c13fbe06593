// A file system for tests: every call goes to the native file system, except
// where a test makes it fail. A call is named by its Op and the path it acts
// on: the path it was given, or for a call on an open file or folder that
// file's or folder's final name (joined with the entry's name for a call
// relative to a folder). A hook sees both and returns the error to fail with,
// or nothing to let the call run. A failing write first lets half of its
// bytes reach the disk, as a disk that fills up does. Folders can be listed
// in name order, so that a test knows the order of a walk, and the page cache
// can be made to look cold or unknown, so that a test can run a walk with and
// without reading ahead.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "vault_core/platform/fs.h"

class FaultyFs : public platform::FileSystem {
 public:
  enum class Op {
    metadata, canonicalize, create_directories, open_file, open_dir, rename, remove_file, remove_all,
    open_at, open_dir_at, metadata_at, create_dir_at, rename_at, remove_at,
    final_name, file_metadata, read, read_cached, read_metadata, write, sync, set_permissions, truncate,
    close, next_entry, lock, prefetch,
  };
  // What read_cached answers: the platform's answer (a read it answers from
  // memory is a read all the same, so faults set on Op::read and
  // Op::read_metadata apply to it); that no byte is in memory; or that
  // the platform cannot tell (operation not supported).
  enum class Cache { native, cold, unknown };
  using Hook = std::function<std::optional<std::error_code>(Op op, const std::string& path)>;

  // Decides which calls fail; none when empty.
  Hook hook;
  // Lists every folder in ascending name order.
  bool sorted_listing = false;
  Cache cache = Cache::native;

  // Fails every `op` whose path ends with `path_suffix` with `error`, in
  // addition to what the hook already fails.
  void fail(Op op, std::string path_suffix, std::error_code error);
  // How many `op` calls were made, failed ones included.
  int count(Op op) const;

  platform::Result<platform::FileInfo> metadata(const std::string& path) override;
  platform::Result<std::string> canonicalize(const std::string& path) override;
  platform::Result<void> create_directories(const std::string& path) override;
  platform::Result<platform::File> open_file(const std::string& path, platform::OpenMode mode) override;
  platform::Result<platform::Dir> open_dir(const std::string& path, platform::DirUse use) override;
  platform::Result<void> rename(const std::string& from, const std::string& to) override;
  platform::Result<void> remove_file(const std::string& path) override;
  platform::Result<void> remove_all(const std::string& path) override;
  platform::Result<platform::File> open_at(platform::Dir& dir, std::string_view name, platform::OpenMode mode,
                                           platform::Links links) override;
  platform::Result<platform::Dir> open_dir_at(platform::Dir& dir, std::string_view name,
                                              platform::DirUse use) override;
  platform::Result<platform::FileInfo> metadata_at(platform::Dir& dir, std::string_view name) override;
  platform::Result<void> create_dir_at(platform::Dir& dir, std::string_view name) override;
  platform::Result<void> rename_at(platform::Dir& dir, std::string_view from, std::string_view to) override;
  platform::Result<void> remove_at(platform::Dir& dir, std::string_view name) override;
  platform::Result<std::string> final_name(const platform::File& file) override;
  platform::Result<std::string> final_name(const platform::Dir& dir) override;
  platform::Result<platform::FileInfo> file_metadata(platform::File& file) override;
  platform::Result<platform::FileContent> read(platform::File& file, std::size_t limit) override;
  platform::Result<std::optional<platform::FileContent>> read_cached(platform::File& file,
                                                                     std::size_t limit) override;
  // Counted as Op::prefetch; a fault set on it makes the hint do nothing.
  void prefetch(platform::File& file, std::uint64_t length) override;
  platform::Result<void> write_all(platform::File& file, std::string_view data) override;
  platform::Result<void> sync(platform::File& file) override;
  platform::Result<void> set_permissions(platform::File& file, platform::Permissions permissions) override;
  platform::Result<void> truncate(platform::File& file, std::uint64_t size) override;
  platform::Result<void> close(platform::File& file) override;
  platform::Result<std::optional<platform::DirEntry>> next_entry(platform::Dir& dir) override;
  platform::Result<void> lock(platform::Dir& dir, std::chrono::milliseconds wait) override;

 private:
  // The error to fail `op` on `path` with, or nothing; counts the call.
  std::optional<std::error_code> check(Op op, const std::string& path);
  // `content` just read from `name`, with the fault set on the metadata after
  // the read.
  platform::FileContent after_read(const std::string& name, platform::FileContent content);
  static std::string name_of(const platform::File& file);
  static std::string name_of(const platform::Dir& dir);
  static std::string entry_of(const platform::Dir& dir, std::string_view name);

  struct Rule {
    Op op;
    std::string suffix;
    std::error_code error;
  };
  std::vector<Rule> rules_;
  std::map<Op, int> counts_;
  std::map<std::string, std::vector<platform::DirEntry>> pending_;  // sorted listings by folder, last name first
};
