// The POSIX file-system calls that take shortcuts: canonicalisation through
// the open file's name, and reads into a reused buffer without fstat.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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
    platform::FileInfo info;
    ASSERT_TRUE(platform::fs().read_file(path, buffer, &info)) << size;
    EXPECT_EQ(buffer, content) << size;
    EXPECT_EQ(info.size, size);
    ASSERT_TRUE(platform::fs().read_file_prefix(path, 4096, buffer, info)) << size;
    EXPECT_EQ(buffer, content.substr(0, 4096)) << size;
  }
}

TEST(ReadFile, FolderFailsWithIsADirectory) {
  TempDir dir;
  std::string buffer = "old";
  platform::FileInfo info;
  for (platform::FileInfo* with : {static_cast<platform::FileInfo*>(nullptr), &info}) {
    const auto r = platform::fs().read_file(dir.path(), buffer, with);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), std::errc::is_a_directory);
  }
}

}  // namespace
