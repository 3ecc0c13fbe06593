// POSIX implementation of the file system. Final names come from the kernel's
// name of an open descriptor (/proc/self/fd); everything relative to an open
// folder uses the *at() calls on its descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "vault_core/platform/descriptor_posix.h"
#include "vault_core/platform/fs.h"

namespace platform {

// The descriptor inside a File and a Dir.
struct Dir::State {
  int fd = -1;
  DIR* listing = nullptr;  // owns `fd` when set (folders opened for listing)
  int lock_fd = -1;        // the folder opened again to hold a lock
  ~State() {
    if (lock_fd >= 0) ::close(lock_fd);
    if (listing != nullptr) {
      ::closedir(listing);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
};

struct NativeHandle {
  static int fd(const File& file) { return static_cast<int>(file.handle_); }
  static File make_file(int fd) {
    File file;
    file.handle_ = fd;
    return file;
  }
  static int release(File& file) { return static_cast<int>(std::exchange(file.handle_, File::kNone)); }
  static Dir::State* state(const Dir& dir) { return dir.state_.get(); }
  static Dir make_dir(std::unique_ptr<Dir::State> state) {
    Dir dir;
    dir.state_ = std::move(state);
    return dir;
  }
};

namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

std::unexpected<std::error_code> fail(int e) { return std::unexpected(system_error(e)); }

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// One component: not empty, no "/", not "." or "..", no NUL.
bool is_single_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos && !has_nul(name);
}

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::regular;
  if (S_ISDIR(mode)) return FileType::directory;
  if (S_ISLNK(mode)) return FileType::symlink;
  return FileType::other;
}

FileInfo info_from_stat(const struct stat& st) {
  FileInfo info;
  info.type = type_of(st.st_mode);
  info.read_only = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mtime_sec = st.st_mtim.tv_sec;
  info.mtime_nsec = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
  info.permissions.bits = st.st_mode & 07777;
  return info;
}

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::read: return O_RDONLY;
    case OpenMode::create_new:
    case OpenMode::create_private: return O_WRONLY | O_CREAT | O_EXCL;
    case OpenMode::write_existing: return O_WRONLY;
    case OpenMode::open_or_create: return O_WRONLY | O_CREAT;
    case OpenMode::append_existing: return O_WRONLY | O_APPEND;
  }
  return O_RDONLY;
}

mode_t creation_mode(OpenMode mode) { return mode == OpenMode::create_private ? 0600 : 0666; }

// The folder /proc/self/fd, opened once per process: reading a descriptor's
// name relative to it costs 0.55 us where the full path costs 0.85 us, about
// 3 % of a full scan that names every note it reads. A child made by fork()
// opens its own, since the parent's folder names the parent's descriptors:
// the fork handler forgets the parent's in the child.
int proc_fd_folder_handle = -1;

int proc_fd_folder() {
  if (proc_fd_folder_handle < 0) {
    static const bool forgotten_in_children = ::pthread_atfork(nullptr, nullptr, [] {
      if (proc_fd_folder_handle >= 0) ::close(proc_fd_folder_handle);
      proc_fd_folder_handle = -1;
    }) == 0;
    static_cast<void>(forgotten_in_children);
    proc_fd_folder_handle = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  return proc_fd_folder_handle;
}

// The kernel's name of the open descriptor `fd`: its canonical path.
Result<std::string> descriptor_name(int fd) {
  const int folder = proc_fd_folder();
  if (folder < 0) return last_system_error();
  char name[PATH_MAX];
  const ssize_t n = ::readlinkat(folder, std::to_string(fd).c_str(), name, sizeof name);
  if (n < 0) return last_system_error();
  if (static_cast<std::size_t>(n) >= sizeof name) return fail(ENAMETOOLONG);
  const std::string_view found(name, static_cast<std::size_t>(n));
  // A deleted file is named with this suffix; pipes, sockets and the like
  // have names that are no path.
  if (found.ends_with(" (deleted)")) return fail(ENOENT);
  if (!found.starts_with('/')) return fail(ENOENT);
  return std::string(found);
}

Result<FileInfo> stat_fd(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return last_system_error();
  return info_from_stat(st);
}

// Whether a read may wait for the storage device.
enum class Wait { yes, no };

// Reads up to `limit` bytes from the start of the regular file `fd`, whose
// metadata taken just before is `info` (also the metadata returned). The
// first read asks for one byte more than the file's size, so that it usually
// takes the whole file: a short read that ends at that size is the end; a
// file that changed size meanwhile is read on to its end. With Wait::no each read takes only what is in memory
// (RWF_NOWAIT), and the first that would wait gives nothing: a short read then
// ends where the memory does, and the file's size sends it on to a read that
// finds the rest missing.
Result<std::optional<FileContent>> read_regular(int fd, std::size_t limit, const FileInfo& info, Wait wait) {
  FileContent content{.bytes = {}, .info = info};
  std::size_t used = 0;
  const std::size_t expected = static_cast<std::size_t>(std::min<std::uint64_t>(info.size, SIZE_MAX - 1));
  std::size_t room = std::min(limit, std::max<std::size_t>(expected + 1, 4096));
  while (used < limit) {
    if (used == room) room = std::min(limit, std::max<std::size_t>(used * 2, used + 4096));
    ssize_t n = 0;
    int error = 0;
    content.bytes.resize_and_overwrite(room, [&](char* data, std::size_t) {
      if (wait == Wait::yes) {
        n = ::pread(fd, data + used, room - used, static_cast<off_t>(used));
      } else {
        struct iovec part{data + used, room - used};
        n = ::preadv2(fd, &part, 1, static_cast<off_t>(used), RWF_NOWAIT);
      }
      if (n < 0) error = errno;
      return used + static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    });
    if (n < 0) {
      if (error == EINTR) continue;
      if (wait == Wait::no && error == EAGAIN) return std::optional<FileContent>();
      // No preadv2 (ENOSYS) or no RWF_NOWAIT on this kernel or file system.
      if (wait == Wait::no && (error == EOPNOTSUPP || error == ENOSYS)) return fail(EOPNOTSUPP);
      return fail(error);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (used < room && used == expected) break;
  }
  return std::optional(std::move(content));
}

// The metadata of the open file `fd` when it is a regular file; the
// is-a-directory error for a folder, Failure::not_regular_file for the rest.
Result<FileInfo> regular_file_info(int fd) {
  auto info = stat_fd(fd);
  if (!info) return std::unexpected(info.error());
  if (info->type == FileType::directory) return fail(EISDIR);
  if (info->type != FileType::regular) return std::unexpected(make_error_code(Failure::not_regular_file));
  return info;
}

// Deletes everything inside the open folder `fd`, then the folder's entries
// themselves; folders are entered relative to their parent and never through
// a link, so nothing outside the tree is touched.
Result<void> remove_contents(int fd) {
  const int listing_fd = ::dup(fd);
  if (listing_fd < 0) return last_system_error();
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    ::close(listing_fd);
    return last_system_error();
  }
  Result<void> result;
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const struct dirent* e = ::readdir(dir);
    if (e == nullptr) {
      if (errno != 0 && result) result = last_system_error();
      break;
    }
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    if (::unlinkat(fd, name.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (result) result = last_system_error();
      continue;
    }
    const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      if (result) result = last_system_error();
      continue;
    }
    auto inner = remove_contents(child);
    ::close(child);
    if (!inner && result) result = inner;
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && result) result = last_system_error();
  }
  return result;
}

class PosixFileSystem final : public FileSystem {
 public:
  Result<FileInfo> metadata(const std::string& path) override {
    if (has_nul(path)) return fail(EINVAL);
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return last_system_error();
    return info_from_stat(st);
  }

  Result<std::string> canonicalize(const std::string& path) override {
    if (has_nul(path)) return fail(EINVAL);
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return last_system_error();
    auto name = descriptor_name(fd);
    ::close(fd);
    if (name) return name;
    // No /proc, or a name too long for it: the C library's walk decides.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return last_system_error();
    std::string out(resolved);
    std::free(resolved);
    return out;
  }

  Result<void> create_directories(const std::string& path) override {
    if (has_nul(path)) return fail(EINVAL);
    if (path.empty()) return fail(ENOENT);
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? Result<void>() : fail(EEXIST);
    // Each missing ancestor from the top down.
    std::size_t pos = 0;
    while (true) {
      pos = path.find('/', pos + 1);
      const std::string prefix = path.substr(0, pos);
      if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return last_system_error();
      if (pos == std::string::npos) break;
    }
    if (::stat(path.c_str(), &st) != 0) return last_system_error();
    if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
    return {};
  }

  Result<File> open_file(const std::string& path, OpenMode mode) override {
    if (has_nul(path)) return fail(EINVAL);
    const int fd = ::open(path.c_str(), open_flags(mode) | kOpenFlags, creation_mode(mode));
    if (fd < 0) return last_system_error();
    return NativeHandle::make_file(fd);
  }

  Result<Dir> open_dir(const std::string& path, DirUse use) override {
    if (has_nul(path)) return fail(EINVAL);
    const int access = use == DirUse::list ? O_RDONLY : O_PATH;
    return make_dir(::open(path.c_str(), access | O_DIRECTORY | O_CLOEXEC), use);
  }

  Result<void> rename(const std::string& from, const std::string& to) override {
    if (has_nul(from) || has_nul(to)) return fail(EINVAL);
    if (::rename(from.c_str(), to.c_str()) != 0) return last_system_error();
    return {};
  }

  Result<void> remove_file(const std::string& path) override {
    if (has_nul(path)) return fail(EINVAL);
    if (::unlink(path.c_str()) != 0) return last_system_error();
    return {};
  }

  Result<void> remove_all(const std::string& path) override {
    if (has_nul(path)) return fail(EINVAL);
    if (::unlink(path.c_str()) == 0) return {};
    if (errno != EISDIR && errno != EPERM) return last_system_error();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return last_system_error();
    auto inner = remove_contents(fd);
    ::close(fd);
    if (::rmdir(path.c_str()) != 0 && inner) return last_system_error();
    return inner;
  }

  Result<File> open_at(Dir& dir, std::string_view name, OpenMode mode, Links links) override {
    if (!is_single_name(name)) return fail(EINVAL);
    const int flags = open_flags(mode) | kOpenFlags | (links == Links::refuse ? O_NOFOLLOW : 0);
    const int fd = ::openat(dir_fd(dir), std::string(name).c_str(), flags, creation_mode(mode));
    if (fd < 0) return last_system_error();
    return NativeHandle::make_file(fd);
  }

  Result<Dir> open_dir_at(Dir& dir, std::string_view name, DirUse use) override {
    if (!is_single_name(name)) return fail(EINVAL);
    const int access = use == DirUse::list ? O_RDONLY : O_PATH;
    return make_dir(::openat(dir_fd(dir), std::string(name).c_str(), access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                    use);
  }

  Result<FileInfo> metadata_at(Dir& dir, std::string_view name) override {
    if (!is_single_name(name)) return fail(EINVAL);
    struct stat st{};
    if (::fstatat(dir_fd(dir), std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return last_system_error();
    return info_from_stat(st);
  }

  Result<void> create_dir_at(Dir& dir, std::string_view name) override {
    if (!is_single_name(name)) return fail(EINVAL);
    if (::mkdirat(dir_fd(dir), std::string(name).c_str(), 0777) != 0) return last_system_error();
    return {};
  }

  Result<void> rename_at(Dir& dir, std::string_view from, std::string_view to) override {
    if (!is_single_name(from) || !is_single_name(to)) return fail(EINVAL);
    const int fd = dir_fd(dir);
    if (::renameat(fd, std::string(from).c_str(), fd, std::string(to).c_str()) != 0) return last_system_error();
    return {};
  }

  Result<void> remove_at(Dir& dir, std::string_view name) override {
    if (!is_single_name(name)) return fail(EINVAL);
    if (::unlinkat(dir_fd(dir), std::string(name).c_str(), 0) != 0) return last_system_error();
    return {};
  }

  Result<std::string> final_name(const File& file) override { return descriptor_name(NativeHandle::fd(file)); }

  Result<std::string> final_name(const Dir& dir) override { return descriptor_name(dir_fd(dir)); }

  Result<FileInfo> file_metadata(File& file) override { return stat_fd(NativeHandle::fd(file)); }

  Result<FileContent> read(File& file, std::size_t limit) override {
    const int fd = NativeHandle::fd(file);
    auto info = regular_file_info(fd);
    if (!info) return std::unexpected(info.error());
    auto content = read_regular(fd, limit, *info, Wait::yes);
    if (!content) return std::unexpected(content.error());
    return std::move(**content);
  }

  Result<std::optional<FileContent>> read_cached(File& file, std::size_t limit) override {
    const int fd = NativeHandle::fd(file);
    auto info = regular_file_info(fd);
    if (!info) return std::unexpected(info.error());
    return read_regular(fd, limit, *info, Wait::no);
  }

  void prefetch(File& file, std::uint64_t length) override {
    const int fd = NativeHandle::fd(file);
    struct stat st{};
    // Only a regular file: the hint would make a device read.
    if (length == 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    const auto bytes = static_cast<off_t>(std::min<std::uint64_t>(length, std::numeric_limits<off_t>::max()));
    static_cast<void>(::posix_fadvise(fd, 0, bytes, POSIX_FADV_WILLNEED));
  }

  Result<void> write_all(File& file, std::string_view data) override {
    return write_all_to(NativeHandle::fd(file), data);
  }

  Result<void> sync(File& file) override {
    if (::fsync(NativeHandle::fd(file)) != 0) return last_system_error();
    return {};
  }

  Result<void> set_permissions(File& file, Permissions permissions) override {
    // Read, write and execute for owner, group and others; never set-id bits.
    if (::fchmod(NativeHandle::fd(file), static_cast<mode_t>(permissions.bits & 0777)) != 0) {
      return last_system_error();
    }
    return {};
  }

  Result<void> truncate(File& file, std::uint64_t size) override {
    if (::ftruncate(NativeHandle::fd(file), static_cast<off_t>(size)) != 0) return last_system_error();
    return {};
  }

  Result<void> close(File& file) override {
    const int fd = NativeHandle::release(file);
    if (fd < 0) return {};
    if (::close(fd) != 0 && errno != EINTR) return last_system_error();
    return {};
  }

  Result<std::optional<DirEntry>> next_entry(Dir& dir) override {
    Dir::State* state = NativeHandle::state(dir);
    if (state == nullptr || state->listing == nullptr) return fail(EBADF);
    while (true) {
      errno = 0;
      const struct dirent* e = ::readdir(state->listing);
      if (e == nullptr) {
        if (errno != 0) return last_system_error();
        return std::optional<DirEntry>();
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      DirEntry entry;
      entry.name = e->d_name;
      switch (e->d_type) {
        case DT_DIR: entry.type = FileType::directory; break;
        case DT_REG: entry.type = FileType::regular; break;
        case DT_LNK: entry.type = FileType::symlink; break;
        case DT_UNKNOWN: {
          // Some file systems do not report types in the listing.
          struct stat st{};
          if (::fstatat(state->fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return last_system_error();
          entry.type = type_of(st.st_mode);
          break;
        }
        default: entry.type = FileType::other; break;
      }
      return std::optional<DirEntry>(std::move(entry));
    }
  }

  Result<void> lock(Dir& dir, std::chrono::milliseconds wait) override {
    Dir::State* state = NativeHandle::state(dir);
    if (state == nullptr) return fail(EBADF);
    if (state->lock_fd < 0) {
      // A folder opened only to reach its entries has no descriptor that
      // can be locked.
      state->lock_fd = ::openat(state->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (state->lock_fd < 0) return last_system_error();
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(state->lock_fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return last_system_error();
      if (std::chrono::steady_clock::now() >= deadline) return std::unexpected(make_error_code(Failure::lock_timeout));
      const struct timespec pause{0, 5'000'000};  // 5 ms
      ::nanosleep(&pause, nullptr);
    }
    return {};
  }

 private:
  static int dir_fd(const Dir& dir) {
    const Dir::State* state = NativeHandle::state(dir);
    return state != nullptr ? state->fd : -1;
  }

  // Wraps a descriptor just opened (or the error of opening it) as a Dir.
  static Result<Dir> make_dir(int fd, DirUse use) {
    if (fd < 0) return last_system_error();
    auto state = std::make_unique<Dir::State>();
    state->fd = fd;
    if (use == DirUse::list) {
      state->listing = ::fdopendir(fd);
      if (state->listing == nullptr) return last_system_error();  // `state` closes fd
    }
    return NativeHandle::make_dir(std::move(state));
  }
};

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != kNone) ::close(static_cast<int>(handle_));
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

File::~File() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
}

Dir::Dir() = default;
Dir::Dir(Dir&& other) noexcept = default;
Dir& Dir::operator=(Dir&& other) noexcept = default;
Dir::~Dir() = default;

FileSystem& native_fs() {
  static PosixFileSystem instance;
  return instance;
}

}  // namespace platform
