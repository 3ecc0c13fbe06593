// The POSIX file-system calls that take shortcuts: canonicalisation through
// the open file's name, and reads into a reused buffer that end, for a
// regular file, where its size says.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/fs.h"
#include "temp_dir.h"

namespace {

// What the C library's realpath makes of `path`: the path or the errno.
std::pair<std::string, int> libc_realpath(const std::string& path) {
  errno = 0;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {"", errno};
  std::string out(resolved);
  ::free(resolved);
  return {out, 0};
}

TEST(Canonicalize, AgreesWithRealpath) {
  TempDir dir;
  dir.write("vault/a/note.md", "x");
  dir.mkdir("vault/b");
  ASSERT_EQ(::symlink("a/note.md", dir.path("vault/link.md").c_str()), 0);
  ASSERT_EQ(::symlink("a", dir.path("vault/dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("missing.md", dir.path("vault/dangling.md").c_str()), 0);
  ASSERT_EQ(::symlink("loop2", dir.path("vault/loop1").c_str()), 0);
  ASSERT_EQ(::symlink("loop1", dir.path("vault/loop2").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path("vault/b").c_str(), dir.path("vault/a/up").c_str()), 0);

  const std::string v = dir.path("vault");
  const std::string cases[] = {
      v,
      v + "/",
      v + "/a/note.md",
      v + "/./a/../a/note.md",
      v + "/link.md",
      v + "/dirlink/note.md",
      v + "/dirlink/../b",  // ".." applies to the link's target
      v + "/a/up/../a/note.md",
      "/" + v,  // a doubled leading slash
      v + "/dangling.md",
      v + "/loop1",
      v + "/a/note.md/",
      v + "/a/note.md/x",
      v + "/missing/x.md",
      "",
      std::string(PATH_MAX + 10, 'a'),
  };
  for (const std::string& path : cases) {
    const auto [expected, error] = libc_realpath(path);
    const auto got = platform::fs().canonicalize(path);
    if (error == 0) {
      ASSERT_TRUE(got.has_value()) << path << ": " << got.error().message();
      EXPECT_EQ(*got, expected) << path;
    } else {
      ASSERT_FALSE(got.has_value()) << path << " gave " << *got;
      EXPECT_EQ(got.error().value(), error) << path;
    }
    // The folder form: the same path for a folder, a failure for anything else.
    const auto folder = platform::fs().canonicalize_directory(path);
    if (error == 0 && std::filesystem::is_directory(expected)) {
      ASSERT_TRUE(folder.has_value()) << path << ": " << folder.error().message();
      EXPECT_EQ(*folder, expected) << path;
    } else {
      EXPECT_FALSE(folder.has_value()) << path << " gave " << *folder;
    }
  }
}

TEST(Canonicalize, RelativePathsStartAtTheWorkingFolder) {
  TempDir dir;
  dir.write("n.md", "x");
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  const auto got = platform::fs().canonicalize("n.md");
  const auto [expected, error] = libc_realpath("n.md");
  ASSERT_EQ(::chdir(cwd), 0);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(error, 0);
  EXPECT_EQ(*got, expected);
}

TEST(Canonicalize, NulByteIsInvalid) {
  const auto got = platform::fs().canonicalize(std::string("/tmp\0x", 6));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), std::errc::invalid_argument);
}

// A child made by fork() must not read its files' names from the parent's
// table of open files: there the same number can be another file.
TEST(Canonicalize, AForkedChildNamesItsOwnFiles) {
  TempDir dir;
  const std::string mine = dir.write("mine.md", "x");
  const std::string parents = dir.write("parents.md", "y");
  ASSERT_TRUE(platform::fs().canonicalize(mine).has_value());  // the parent has looked a name up before
  // Open in the parent until the child is done: there its number names this file.
  platform::File held(::open(parents.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_GE(held.fd(), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(held.release());  // the child's next open gets this number
    const auto got = platform::fs().canonicalize(mine);
    ::_exit(got && *got == libc_realpath(mine).first ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// One buffer reused across files of every size around the read sizes: each
// read must give exactly the file's bytes, whatever the buffer held before.
TEST(ReadFile, ReusedBufferGetsExactBytes) {
  TempDir dir;
  std::string buffer;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096},
                                 std::size_t{4097}, std::size_t{70000}, std::size_t{1} << 20, std::size_t{3},
                                 std::size_t{8193}, std::size_t{0}}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + (i * 7 + size) % 26);
    const std::string path = dir.write("f.md", content);
    ASSERT_TRUE(platform::fs().read_file(path, buffer)) << size;
    EXPECT_EQ(buffer, content) << size;
    platform::Result<platform::FileInfo> after;
    ASSERT_TRUE(platform::fs().read_file(path, buffer, &after)) << size;
    EXPECT_EQ(buffer, content) << size;
    ASSERT_TRUE(after.has_value()) << size;
    EXPECT_EQ(after->size, size);
    platform::FileInfo info;
    ASSERT_TRUE(platform::fs().read_file_prefix(path, 4096, buffer, info)) << size;
    EXPECT_EQ(buffer, content.substr(0, 4096)) << size;
  }
}

// The end of what is not a regular file is where a read returns nothing, not
// where its size says: a stream that arrives in pieces is read to its end.
TEST(ReadFile, AStreamIsReadToItsEnd) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread writer([&] {
    EXPECT_EQ(::write(ends[1], "first ", 6), 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(::write(ends[1], "second", 6), 6);
    ::close(ends[1]);
  });
  std::string text;
  platform::Result<platform::FileInfo> after;
  const auto r = platform::fs().read_file("/proc/self/fd/" + std::to_string(ends[0]), text, &after);
  writer.join();
  ::close(ends[0]);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(text, "first second");
  ASSERT_TRUE(after.has_value());
  EXPECT_FALSE(after->is_regular);
}

TEST(ReadFile, FolderFailsWithIsADirectory) {
  TempDir dir;
  std::string buffer = "old";
  using After = platform::Result<platform::FileInfo>;
  After info;
  for (After* with : {static_cast<After*>(nullptr), &info}) {
    const auto r = platform::fs().read_file(dir.path(), buffer, with);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), std::errc::is_a_directory);
  }
}

}  // namespace
