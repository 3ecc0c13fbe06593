// The file system as the server sees it. Every operation of the server that
// touches a file or a folder goes through the active FileSystem, so tests can
// put a fault-injecting one in its place (ScopedFileSystem) without root
// tricks. The operations come in three groups: by path, relative to an open
// folder, and on open files and folders. A file or folder that must stay
// inside a vault is opened first and then asked for its final name, the
// canonical path of what was opened, so that a check is made on the object
// that is used and not on a name that may change underneath.
//
// Paths and names are byte strings (UTF-8 on Windows, converted at the call).
// A path or name holding a NUL byte fails with an invalid-argument error
// before any call. Opening never blocks: a FIFO or device opens at once and
// is refused by the operations that need a regular file. Errors are the
// platform's (see error.h); the contract of each operation names the ones
// callers classify.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vault_core/platform/error.h"

namespace platform {

enum class FileType { regular, directory, symlink, other };

// The platform's permission bits (POSIX) or attributes (Windows) of a file,
// only to be handed back to set_permissions.
struct Permissions {
  std::uint32_t bits = 0;
};

struct FileInfo {
  FileType type = FileType::other;
  // The file may not be written: no write permission bit at all (owner,
  // group and other) on POSIX, the read-only attribute on Windows.
  bool read_only = false;
  std::uint64_t size = 0;
  // Modification time: whole seconds since 1970-01-01 UTC (negative before)
  // and the nanoseconds within that second (100 ns steps on Windows).
  std::int64_t mtime_sec = 0;
  std::uint32_t mtime_nsec = 0;
  Permissions permissions;
};

struct DirEntry {
  std::string name;
  FileType type = FileType::other;  // the entry's own type: a link is a symlink, whatever it leads to
};

// The content of a file and its metadata, taken just before the content was
// read (or the error of taking it).
struct FileContent {
  std::string bytes;
  Result<FileInfo> info;
};

enum class OpenMode {
  read,             // reading
  create_new,       // writing; fails with an already-exists error when the name exists (even as a link)
  create_private,   // as create_new, readable and writable by the owner only until set_permissions
  write_existing,   // writing; neither created nor truncated
  open_or_create,   // writing; created when missing, kept as it is when present
  append_existing,  // appending; not created when missing
};

// Whether opening follows a symbolic link in the last component of a name.
enum class Links { follow, refuse };

// What an open folder is for: listing its entries, or only reaching the
// entries inside it (which needs no permission to list it).
enum class DirUse { list, reach };

// An open file, closed when the object goes away. Move-only; only the
// platform's FileSystem reaches what it holds.
class File {
 public:
  File() = default;
  File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();
  bool is_open() const { return handle_ != kNone; }

 private:
  friend struct NativeHandle;
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// An open folder, closed when the object goes away. Move-only; only the
// platform's FileSystem reaches what it holds.
class Dir {
 public:
  struct State;  // defined by the platform
  Dir();
  Dir(Dir&& other) noexcept;
  Dir& operator=(Dir&& other) noexcept;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir();
  bool is_open() const { return state_ != nullptr; }

 private:
  friend struct NativeHandle;
  std::unique_ptr<State> state_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // --- By path -------------------------------------------------------------

  // Metadata of `path`, following links. Not found when it does not exist.
  [[nodiscard]] virtual Result<FileInfo> metadata(const std::string& path) = 0;
  // The absolute path with every link, "." and ".." resolved (on Windows the
  // extended-length form); the path must exist. Not found when it does not.
  [[nodiscard]] virtual Result<std::string> canonicalize(const std::string& path) = 0;
  // Creates `path` and its missing ancestors; an existing folder is success,
  // an existing file an already-exists error.
  [[nodiscard]] virtual Result<void> create_directories(const std::string& path) = 0;
  // Opens the file `path` in `mode`, following links; create_new makes a
  // file with the default permissions. Not found, already exists (create_new).
  [[nodiscard]] virtual Result<File> open_file(const std::string& path, OpenMode mode) = 0;
  // Opens the folder `path`, following links. Not found; a not-a-directory
  // error when it is no folder.
  [[nodiscard]] virtual Result<Dir> open_dir(const std::string& path, DirUse use) = 0;
  // Renames `from` onto `to`, replacing a file `to`.
  [[nodiscard]] virtual Result<void> rename(const std::string& from, const std::string& to) = 0;
  // Deletes the file (not a folder).
  [[nodiscard]] virtual Result<void> remove_file(const std::string& path) = 0;
  // Deletes the file or the folder with everything in it; links (and
  // junctions) are removed, never followed.
  [[nodiscard]] virtual Result<void> remove_all(const std::string& path) = 0;

  // --- Relative to an open folder: `name` is one component ------------------

  // Opens the entry `name` of `dir`. With Links::refuse a link in its place
  // fails (a too-many-links error on POSIX) instead of being followed.
  [[nodiscard]] virtual Result<File> open_at(Dir& dir, std::string_view name, OpenMode mode, Links links) = 0;
  // Opens the folder entry `name` of `dir`; a link in its place is never
  // followed and fails.
  [[nodiscard]] virtual Result<Dir> open_dir_at(Dir& dir, std::string_view name, DirUse use) = 0;
  // Metadata of the entry `name` of `dir` itself (a link is not followed).
  [[nodiscard]] virtual Result<FileInfo> metadata_at(Dir& dir, std::string_view name) = 0;
  // Creates the folder `name` in `dir`; already exists when the name does.
  [[nodiscard]] virtual Result<void> create_dir_at(Dir& dir, std::string_view name) = 0;
  // Renames the entry `from` of `dir` to `to` in the same folder, replacing
  // a file `to` (a link named `to` is replaced, not followed).
  [[nodiscard]] virtual Result<void> rename_at(Dir& dir, std::string_view from, std::string_view to) = 0;
  // Deletes the file entry `name` of `dir`.
  [[nodiscard]] virtual Result<void> remove_at(Dir& dir, std::string_view name) = 0;

  // --- Open files and folders ----------------------------------------------

  // The canonical absolute path of the open file or folder, as the platform
  // names it now (a file renamed since it was opened has its new name). Not
  // found when it has been deleted.
  [[nodiscard]] virtual Result<std::string> final_name(const File& file) = 0;
  [[nodiscard]] virtual Result<std::string> final_name(const Dir& dir) = 0;
  // Metadata of the open file.
  [[nodiscard]] virtual Result<FileInfo> file_metadata(File& file) = 0;
  // Reads the file from its start, whatever was read before: everything, or
  // the first `limit` bytes. Fails at once, reading nothing, when the file is
  // not a regular file: an is-a-directory error for a folder,
  // Failure::not_regular_file for a FIFO, socket or device. The metadata is
  // taken just before the bytes are read: a change that lands meanwhile makes
  // the bytes newer than the modification time given with them, never older,
  // so a guard against lost updates that compares that time sees the change.
  [[nodiscard]] virtual Result<FileContent> read(File& file, std::size_t limit = SIZE_MAX) = 0;
  // As read(), when every byte it would read is already in memory; nothing,
  // without waiting, when some byte would first have to come from the storage
  // device (the platform may start fetching it). The errors are read()'s, and
  // an operation-not-supported error where the platform cannot tell without
  // waiting: the default, and the POSIX one on a file system that cannot say.
  [[nodiscard]] virtual Result<std::optional<FileContent>> read_cached(File& file, std::size_t limit = SIZE_MAX);
  // Asks the platform to start fetching the file's first `length` bytes into
  // memory, so that a later read need not wait for them. Returns at once,
  // does nothing for a file that is not a regular file, and changes nothing
  // that any operation returns; failures are ignored. The default does
  // nothing.
  virtual void prefetch(File& file, std::uint64_t length);
  // Writes all of `data` at the file's position (its end when appending),
  // retrying interruptions and partial writes; a write that accepts nothing
  // fails with Failure::write_zero.
  [[nodiscard]] virtual Result<void> write_all(File& file, std::string_view data) = 0;
  // Flushes the file's data to the storage device.
  [[nodiscard]] virtual Result<void> sync(File& file) = 0;
  // Gives the open file the access permissions taken from another file's
  // metadata (read, write and execute for owner, group and others on POSIX;
  // set-user-id and the like are not copied).
  [[nodiscard]] virtual Result<void> set_permissions(File& file, Permissions permissions) = 0;
  // Cuts the open file to `size` bytes.
  [[nodiscard]] virtual Result<void> truncate(File& file, std::uint64_t size) = 0;
  // Closes the file, reporting a failed close; the file is closed either way.
  [[nodiscard]] virtual Result<void> close(File& file) = 0;
  // The next entry of the listing ("." and ".." left out), or nothing at the
  // end. The folder must have been opened for DirUse::list.
  [[nodiscard]] virtual Result<std::optional<DirEntry>> next_entry(Dir& dir) = 0;
  // Takes an exclusive lock on the open folder that other processes taking
  // it wait for, at most `wait` (then Failure::lock_timeout). Advisory: it
  // keeps no one else from the folder. Held until the folder is closed.
  [[nodiscard]] virtual Result<void> lock(Dir& dir, std::chrono::milliseconds wait) = 0;
};

// The file system of the platform the program runs on.
FileSystem& native_fs();

// The active file system: native_fs() unless a test replaced it.
FileSystem& fs();

// Makes `replacement` the active file system for the lifetime of this object.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& replacement);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

}  // namespace platform
