// The system-call floor of a vault scan: walks a folder depth first, skipping
// names that begin with ".", and reads every file whose name ends in ".md"
// once with open, read and close (relative to the open folder) into one
// reused buffer. No parsing, no allocation per note. Prints the number of
// files and of bytes read.
//
//   bench_read_floor DIR
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Totals {
  unsigned long long files = 0;
  unsigned long long bytes = 0;
};

bool walk(int dir_fd, std::vector<char>& buffer, Totals& totals) {
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) return false;
  bool ok = true;
  while (struct dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    if (e->d_type == DT_DIR) {
      const int sub = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub < 0 || !walk(sub, buffer, totals)) ok = false;
      continue;
    }
    const std::size_t len = std::strlen(e->d_name);
    if (len < 3 || std::strcmp(e->d_name + len - 3, ".md") != 0) continue;
    const int fd = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      ok = false;
      continue;
    }
    while (true) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n <= 0) break;
      totals.bytes += static_cast<unsigned long long>(n);
    }
    ::close(fd);
    ++totals.files;
  }
  ::closedir(dir);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_read_floor DIR\n");
    return 2;
  }
  const int root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::vector<char> buffer(std::size_t{64} * 1024);
  Totals totals;
  if (root < 0 || !walk(root, buffer, totals)) {
    std::fprintf(stderr, "bench_read_floor: cannot read %s\n", argv[1]);
    return 1;
  }
  std::printf("%llu %llu\n", totals.files, totals.bytes);
  return 0;
}
