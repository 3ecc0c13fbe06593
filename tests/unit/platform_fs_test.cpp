// The POSIX file-system calls that take shortcuts: canonical and final names
// through the open file's name, and reads that end, for a regular file, where
// its size says.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "temp_dir.h"
#include "vault_core/platform/fs.h"

namespace {

platform::FileSystem& fs() { return platform::native_fs(); }

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
    const auto got = fs().canonicalize(path);
    if (error == 0) {
      ASSERT_TRUE(got.has_value()) << path << ": " << got.error().message();
      EXPECT_EQ(*got, expected) << path;
    } else {
      ASSERT_FALSE(got.has_value()) << path << " gave " << *got;
      EXPECT_EQ(got.error().value(), error) << path;
    }
    // The folder form, the final name of the folder opened: the same path
    // for a folder, a failure for anything else.
    auto folder = fs().open_dir(path, platform::DirUse::reach);
    const auto name = folder ? fs().final_name(*folder) : std::unexpected(folder.error());
    if (error == 0 && std::filesystem::is_directory(expected)) {
      ASSERT_TRUE(name.has_value()) << path << ": " << name.error().message();
      EXPECT_EQ(*name, expected) << path;
    } else {
      EXPECT_FALSE(name.has_value()) << path << " gave " << *name;
    }
  }
}

TEST(Canonicalize, RelativePathsStartAtTheWorkingFolder) {
  TempDir dir;
  dir.write("n.md", "x");
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  const auto got = fs().canonicalize("n.md");
  const auto [expected, error] = libc_realpath("n.md");
  ASSERT_EQ(::chdir(cwd), 0);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(error, 0);
  EXPECT_EQ(*got, expected);
}

TEST(Canonicalize, NulByteIsInvalid) {
  const auto got = fs().canonicalize(std::string("/tmp\0x", 6));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), std::errc::invalid_argument);
}

// A child made by fork() must not read its files' names from the parent's
// table of open files: there the same number can be another file.
TEST(Canonicalize, AForkedChildNamesItsOwnFiles) {
  TempDir dir;
  const std::string mine = dir.write("mine.md", "x");
  const std::string parents = dir.write("parents.md", "y");
  ASSERT_TRUE(fs().canonicalize(mine).has_value());  // the parent has looked a name up before
  // Open in the parent until the child is done: there its number names this file.
  auto held = fs().open_file(parents, platform::OpenMode::read);
  ASSERT_TRUE(held.has_value());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static_cast<void>(fs().close(*held));  // the child's next open gets this number
    const std::string expected = libc_realpath(mine).first;
    const auto got = fs().canonicalize(mine);
    auto file = fs().open_file(mine, platform::OpenMode::read);
    const auto name = file ? fs().final_name(*file) : std::unexpected(file.error());
    ::_exit(got && *got == expected && name && *name == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Files of every size around the read sizes: each read gives exactly the
// file's bytes from its start, however often the open file was read before.
TEST(ReadFile, GetsExactBytes) {
  TempDir dir;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096},
                                 std::size_t{4097}, std::size_t{70000}, std::size_t{1} << 20, std::size_t{3},
                                 std::size_t{8193}, std::size_t{0}}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + (i * 7 + size) % 26);
    const std::string path = dir.write("f.md", content);
    auto file = fs().open_file(path, platform::OpenMode::read);
    ASSERT_TRUE(file.has_value()) << size;
    const auto whole = fs().read(*file);
    ASSERT_TRUE(whole.has_value()) << size;
    EXPECT_EQ(whole->bytes, content) << size;
    ASSERT_TRUE(whole->info.has_value()) << size;
    EXPECT_EQ(whole->info->size, size);
    const auto prefix = fs().read(*file, 4096);
    ASSERT_TRUE(prefix.has_value()) << size;
    EXPECT_EQ(prefix->bytes, content.substr(0, 4096)) << size;
  }
}

// What is not a regular file has no end that its size tells: a stream is
// refused at once, and nothing of it is consumed.
TEST(ReadFile, AStreamIsRefusedWithoutReadingIt) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], "first ", 6), 6);
  auto file = fs().open_file("/proc/self/fd/" + std::to_string(ends[0]), platform::OpenMode::read);
  ASSERT_TRUE(file.has_value()) << file.error().message();
  const auto r = fs().read(*file);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), platform::Failure::not_regular_file);
  char left[16] = {};
  EXPECT_EQ(::read(ends[0], left, sizeof left), 6);
  EXPECT_STREQ(left, "first ");
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(ReadFile, FolderFailsWithIsADirectory) {
  TempDir dir;
  auto folder = fs().open_file(dir.path(), platform::OpenMode::read);
  ASSERT_TRUE(folder.has_value()) << folder.error().message();
  for (const std::size_t limit : {SIZE_MAX, std::size_t{4096}}) {
    const auto r = fs().read(*folder, limit);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), std::errc::is_a_directory);
  }
}

}  // namespace
