// File-system calls. Every operation of the server that touches a file or a
// folder goes through the active FileSystem, so tests can put a fault-injecting
// one in its place (ScopedFileSystem) without root tricks. Paths are byte
// strings; a path that contains a NUL byte fails with EINVAL before any call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace platform {

struct FileInfo {
  bool is_directory = false;
  bool is_regular = false;
  bool read_only = false;  // no write bit at all (owner, group and other)
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;  // permission bits
};

enum class EntryType { directory, regular, symlink, other };

struct DirEntry {
  std::string name;
  EntryType type = EntryType::other;  // the entry's own type, links not followed
};

// An open file descriptor, closed when the object goes away.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();
  int fd() const { return fd_; }
  // Gives up ownership of the descriptor and returns it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// An open directory listing, closed when the object goes away.
class DirStream {
 public:
  DirStream() = default;
  explicit DirStream(void* dir) : dir_(dir) {}
  DirStream(DirStream&& other) noexcept : dir_(other.dir_) { other.dir_ = nullptr; }
  DirStream& operator=(DirStream&& other) noexcept;
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  ~DirStream();
  void* handle() const { return dir_; }

 private:
  void* dir_ = nullptr;
};

enum class OpenMode {
  create_new,       // write; fails with EEXIST when the name exists
  create_truncate,  // write; created when missing, truncated when present
  write_existing,   // write; neither created nor truncated
  append_existing,  // append; not created when missing
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Metadata of `path`, following links.
  [[nodiscard]] virtual Result<FileInfo> metadata(const std::string& path);
  // The absolute path with every link, "." and ".." resolved; the path must exist.
  [[nodiscard]] virtual Result<std::string> canonicalize(const std::string& path);
  // canonicalize() of a folder: fails (ENOTDIR among others) when `path`,
  // links followed, is not a folder. One call fewer than canonicalize() and
  // metadata() together.
  [[nodiscard]] virtual Result<std::string> canonicalize_directory(const std::string& path);
  // Creates `path` and its missing ancestors; an existing folder is success.
  [[nodiscard]] virtual Result<void> create_directories(const std::string& path);
  // Replaces `out` with the whole content of the file. When `info` is given
  // it receives the metadata of the open file, taken after the content was
  // read (so the modification time belongs to the bytes returned, even when
  // the name is replaced meanwhile), or the error of taking it.
  [[nodiscard]] virtual Result<void> read_file(const std::string& path, std::string& out,
                                               Result<FileInfo>* info = nullptr);
  // Reads at most `limit` bytes from the start of the file into `out` and the
  // file's metadata into `info`.
  [[nodiscard]] virtual Result<void> read_file_prefix(const std::string& path, std::size_t limit,
                                                      std::string& out, FileInfo& info);
  // Opens `path` in `mode`; new files get the permission bits `perms` (less umask).
  [[nodiscard]] virtual Result<File> open(const std::string& path, OpenMode mode,
                                          std::uint32_t perms = 0666);
  // Writes all of `data`, retrying after interruptions and partial writes; a
  // write of zero bytes fails with Failure::write_zero.
  [[nodiscard]] virtual Result<void> write_all(File& file, std::string_view data);
  // Flushes the file's data to the storage device.
  [[nodiscard]] virtual Result<void> sync(File& file);
  // Sets the permission bits of the open file.
  [[nodiscard]] virtual Result<void> set_permissions(File& file, std::uint32_t mode);
  // Metadata of the open file.
  [[nodiscard]] virtual Result<FileInfo> file_metadata(File& file);
  // Cuts the open file (or extends it with zero bytes) to `size` bytes.
  [[nodiscard]] virtual Result<void> truncate(File& file, std::uint64_t size);
  // Closes the file, reporting a failed close.
  [[nodiscard]] virtual Result<void> close(File& file);
  // Renames `from` onto `to`, replacing `to` when it exists.
  [[nodiscard]] virtual Result<void> rename(const std::string& from, const std::string& to);
  // Deletes the file (not a folder).
  [[nodiscard]] virtual Result<void> remove_file(const std::string& path);
  // Deletes the file or the folder with everything in it; links are removed,
  // never followed.
  [[nodiscard]] virtual Result<void> remove_all(const std::string& path);
  // Opens the folder for listing.
  [[nodiscard]] virtual Result<DirStream> open_dir(const std::string& path);
  // The next entry ("." and ".." excluded), or nothing at the end.
  [[nodiscard]] virtual Result<std::optional<DirEntry>> next_entry(DirStream& dir, const std::string& path);
};

// The active file system: the POSIX one unless a test replaced it.
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

// Convenience: the whole file as bytes.
[[nodiscard]] Result<std::string> read_file(const std::string& path);
// Convenience: create or truncate `path` and write `data`.
[[nodiscard]] Result<void> write_file(const std::string& path, std::string_view data);

}  // namespace platform
