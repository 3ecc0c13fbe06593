// POSIX implementation of the file-system calls.
#include "fs.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {
namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

std::unexpected<std::error_code> invalid() { return std::unexpected(system_error(EINVAL)); }

FileInfo info_from_stat(const struct stat& st) {
  FileInfo info;
  info.is_directory = S_ISDIR(st.st_mode);
  info.is_regular = S_ISREG(st.st_mode);
  info.read_only = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  info.mtime_sec = st.st_mtim.tv_sec;
  info.mtime_nsec = st.st_mtim.tv_nsec;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mode = st.st_mode & 07777;
  return info;
}

// Replaces `out` with the bytes of `fd` up to end of file or `limit` bytes.
// The first read asks for `expected` + 1 bytes (the file's size, when known)
// or for all the room `out` already has, so that one read usually takes the
// whole file; the buffer is never zero-filled. With `after`, the file's
// metadata is taken once the bytes are read: a short read of a regular file
// whose size is what has been read ends the reading without a last read that
// returns nothing.
Result<void> read_fd(int fd, std::size_t limit, std::size_t expected, std::string& out,
                     Result<FileInfo>* after = nullptr) {
  std::size_t used = 0;
  std::size_t room = std::min(limit, std::max({expected + 1, out.capacity(), std::size_t{4096}}));
  bool have_after = false;
  out.clear();
  while (used < limit) {
    if (used == room) room = std::min(limit, std::max<std::size_t>(used * 2, used + 4096));
    ssize_t n = 0;
    int error = 0;
    out.resize_and_overwrite(room, [&](char* data, std::size_t) {
      n = ::read(fd, data + used, room - used);
      if (n < 0) error = errno;
      return used + static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    });
    if (n < 0) {
      if (error == EINTR) continue;
      return std::unexpected(system_error(error));
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (after != nullptr && used < room) {
      struct stat st{};
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == used) {
        *after = info_from_stat(st);
        have_after = true;
        break;
      }
    }
  }
  if (after != nullptr && !have_after) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
      *after = last_system_error();
    } else {
      *after = info_from_stat(st);
    }
  }
  return {};
}

Result<void> remove_tree(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return last_system_error();
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) return last_system_error();
    return {};
  }
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return last_system_error();
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  Result<void> result;
  for (const auto& name : names) {
    auto r = remove_tree(path + "/" + name);
    if (!r && result) result = r;
  }
  if (::rmdir(path.c_str()) != 0 && result) return last_system_error();
  return result;
}

// The folder /proc/self/fd of this process, opened on first use, so that the
// name of an open file is read without walking /proc and its "self" link each
// time; -1 when there is none. A child made by fork() opens its own: the
// parent's folder would name the parent's files.
std::atomic<int> g_proc_fd_folder{-2};  // -2: not opened yet

int proc_fd_folder() {
  int fd = g_proc_fd_folder.load(std::memory_order_acquire);
  if (fd != -2) return fd;
  static const bool forget_in_child = ::pthread_atfork(nullptr, nullptr, [] {
    const int inherited = g_proc_fd_folder.exchange(-2);
    if (inherited >= 0) ::close(inherited);
  }) == 0;
  if (!forget_in_child) return -1;
  fd = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
  int expected = -2;
  if (!g_proc_fd_folder.compare_exchange_strong(expected, fd)) {  // another thread was first
    if (fd >= 0) ::close(fd);
    return expected;
  }
  return fd;
}

// The canonical path of `path`, opened with O_PATH and `flags`: the kernel
// names an open file by its canonical path, so this is an open, a readlink
// and a close, where the C library's walk reads every component as a link.
Result<std::string> canonical_open(const std::string& path, int flags) {
  if (has_nul(path)) return invalid();
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC | flags);
  if (fd < 0) return last_system_error();
  char name[PATH_MAX];
  const int folder = proc_fd_folder();
  const ssize_t n = folder >= 0 ? ::readlinkat(folder, std::to_string(fd).c_str(), name, sizeof name) : -1;
  ::close(fd);
  constexpr std::string_view kDeleted = " (deleted)";
  if (n > 0 && static_cast<std::size_t>(n) < sizeof name && name[0] == '/') {
    const std::string_view found(name, static_cast<std::size_t>(n));
    if (!found.ends_with(kDeleted)) return std::string(found);
  }
  // No /proc, a name too long, unreachable or removed meanwhile: the C
  // library's walk decides.
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return last_system_error();
  std::string out(resolved);
  std::free(resolved);
  if ((flags & O_DIRECTORY) != 0) {
    struct stat st{};
    if (::stat(out.c_str(), &st) != 0) return last_system_error();
    if (!S_ISDIR(st.st_mode)) return std::unexpected(system_error(ENOTDIR));
  }
  return out;
}

FileSystem& posix_fs() {
  static FileSystem instance;
  return instance;
}

FileSystem* active = nullptr;

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

DirStream& DirStream::operator=(DirStream&& other) noexcept {
  if (this != &other) {
    if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
    dir_ = other.dir_;
    other.dir_ = nullptr;
  }
  return *this;
}

DirStream::~DirStream() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
}

Result<FileInfo> FileSystem::metadata(const std::string& path) {
  if (has_nul(path)) return invalid();
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return last_system_error();
  return info_from_stat(st);
}

Result<std::string> FileSystem::canonicalize(const std::string& path) { return canonical_open(path, 0); }

Result<std::string> FileSystem::canonicalize_directory(const std::string& path) {
  return canonical_open(path, O_DIRECTORY);
}

Result<void> FileSystem::create_directories(const std::string& path) {
  if (has_nul(path)) return invalid();
  if (path.empty()) return std::unexpected(system_error(ENOENT));
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return std::unexpected(system_error(EEXIST));
  }
  // Create each missing ancestor from the top down.
  std::size_t pos = 0;
  while (true) {
    pos = path.find('/', pos + 1);
    const std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return last_system_error();
    if (pos == std::string::npos) break;
  }
  if (::stat(path.c_str(), &st) != 0) return last_system_error();
  if (!S_ISDIR(st.st_mode)) return std::unexpected(system_error(ENOTDIR));
  return {};
}

Result<void> FileSystem::read_file(const std::string& path, std::string& out, Result<FileInfo>* info) {
  if (has_nul(path)) return invalid();
  File file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd() < 0) return last_system_error();
  // No fstat before reading: reading a folder fails with EISDIR all the same,
  // and a reused `out` usually has room for the whole file.
  return read_fd(file.fd(), SIZE_MAX, 0, out, info);
}

Result<void> FileSystem::read_file_prefix(const std::string& path, std::size_t limit, std::string& out,
                                          FileInfo& info) {
  if (has_nul(path)) return invalid();
  File file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd() < 0) return last_system_error();
  struct stat st{};
  if (::fstat(file.fd(), &st) != 0) return last_system_error();
  if (S_ISDIR(st.st_mode)) return std::unexpected(system_error(EISDIR));
  info = info_from_stat(st);
  return read_fd(file.fd(), limit, static_cast<std::size_t>(st.st_size), out);
}

Result<File> FileSystem::open(const std::string& path, OpenMode mode, std::uint32_t perms) {
  if (has_nul(path)) return invalid();
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::create_new: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case OpenMode::create_truncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case OpenMode::write_existing: flags |= O_WRONLY; break;
    case OpenMode::append_existing: flags |= O_WRONLY | O_APPEND; break;
  }
  const int fd = ::open(path.c_str(), flags, static_cast<mode_t>(perms));
  if (fd < 0) return last_system_error();
  return File(fd);
}

Result<void> FileSystem::write_all(File& file, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(file.fd(), data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_system_error();
    }
    if (n == 0) return std::unexpected(make_error_code(Failure::write_zero));
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> FileSystem::sync(File& file) {
  if (::fsync(file.fd()) != 0) return last_system_error();
  return {};
}

Result<void> FileSystem::set_permissions(File& file, std::uint32_t mode) {
  if (::fchmod(file.fd(), static_cast<mode_t>(mode)) != 0) return last_system_error();
  return {};
}

Result<FileInfo> FileSystem::file_metadata(File& file) {
  struct stat st{};
  if (::fstat(file.fd(), &st) != 0) return last_system_error();
  return info_from_stat(st);
}

Result<void> FileSystem::truncate(File& file, std::uint64_t size) {
  if (::ftruncate(file.fd(), static_cast<off_t>(size)) != 0) return last_system_error();
  return {};
}

Result<void> FileSystem::close(File& file) {
  const int fd = file.release();
  if (fd < 0) return {};
  if (::close(fd) != 0 && errno != EINTR) return last_system_error();
  return {};
}

Result<void> FileSystem::rename(const std::string& from, const std::string& to) {
  if (has_nul(from) || has_nul(to)) return invalid();
  if (::rename(from.c_str(), to.c_str()) != 0) return last_system_error();
  return {};
}

Result<void> FileSystem::remove_file(const std::string& path) {
  if (has_nul(path)) return invalid();
  if (::unlink(path.c_str()) != 0) return last_system_error();
  return {};
}

Result<void> FileSystem::remove_all(const std::string& path) {
  if (has_nul(path)) return invalid();
  return remove_tree(path);
}

Result<DirStream> FileSystem::open_dir(const std::string& path) {
  if (has_nul(path)) return invalid();
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return last_system_error();
  return DirStream(dir);
}

Result<std::optional<DirEntry>> FileSystem::next_entry(DirStream& dir, const std::string& path) {
  auto* d = static_cast<DIR*>(dir.handle());
  while (true) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) {
      if (errno != 0) return last_system_error();
      return std::optional<DirEntry>();
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st{};
      const std::string full = path + "/" + entry.name;
      if (::lstat(full.c_str(), &st) != 0) return last_system_error();
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
    }
    entry.type = type == DT_DIR   ? EntryType::directory
                 : type == DT_REG ? EntryType::regular
                 : type == DT_LNK ? EntryType::symlink
                                  : EntryType::other;
    return std::optional<DirEntry>(std::move(entry));
  }
}

FileSystem& fs() { return active != nullptr ? *active : posix_fs(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(active) { active = &replacement; }
ScopedFileSystem::~ScopedFileSystem() { active = previous_; }

Result<std::string> read_file(const std::string& path) {
  std::string out;
  auto r = fs().read_file(path, out);
  if (!r) return std::unexpected(r.error());
  return out;
}

Result<void> write_file(const std::string& path, std::string_view data) {
  auto file = fs().open(path, OpenMode::create_truncate);
  if (!file) return std::unexpected(file.error());
  if (auto w = fs().write_all(*file, data); !w) return w;
  return fs().close(*file);
}

}  // namespace platform
