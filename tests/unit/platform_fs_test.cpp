// The file system of the platform: canonical and final names through the
// open file's name, reads that end where a regular file's size says and
// refuse anything else at once, reads that take only what is in memory,
// operations relative to an open folder that never follow a link unless
// asked, removal that never follows one, and the folder lock. The cases that
// need POSIX (fork, FIFOs, /proc, umask, the C library's realpath) run on
// POSIX only; tests/windows/platform_fs_windows_test.cpp has their Windows
// counterparts.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "vault_core/platform/fs.h"

namespace {

platform::FileSystem& fs() { return platform::native_fs(); }

#ifndef _WIN32
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

#endif

TEST(Canonicalize, RelativePathsStartAtTheWorkingFolder) {
  TempDir dir;
  dir.write("n.md", "x");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::path(dir.path()));
  const auto got = fs().canonicalize("n.md");
  std::filesystem::current_path(before);
  ASSERT_TRUE(got.has_value()) << got.error().message();
  EXPECT_EQ(*got, canonical(dir.path("n.md")));
}

TEST(Canonicalize, NulByteIsInvalid) {
  const auto got = fs().canonicalize(std::string("/tmp\0x", 6));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), std::errc::invalid_argument);
}

#ifndef _WIN32
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
#endif

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

#ifndef _WIN32
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
#endif

TEST(ReadFile, FolderFailsWithIsADirectory) {
  TempDir dir;
  auto folder = fs().open_file(dir.path(), platform::OpenMode::read);
  ASSERT_TRUE(folder.has_value()) << folder.error().message();
  for (const std::size_t limit : {SIZE_MAX, std::size_t{4096}}) {
    const auto r = fs().read(*folder, limit);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), std::errc::is_a_directory);
    // Windows cannot tell what is in memory: every read from memory is
    // refused as not supported there.
    const auto cached = fs().read_cached(*folder, limit);
    ASSERT_FALSE(cached.has_value());
#ifndef _WIN32
    EXPECT_EQ(cached.error(), std::errc::is_a_directory);
#else
    EXPECT_EQ(cached.error(), std::errc::operation_not_supported);
#endif
  }
}

#ifndef _WIN32
// Drops the cached pages of `path` from `offset` on; false when the file
// system keeps them all the same (tmpfs, say).
bool evict(const std::string& path, off_t offset) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool dropped = ::fsync(fd) == 0 && ::posix_fadvise(fd, offset, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return dropped;
}
#endif

// A read from memory is the read itself when the bytes are there, and nothing
// when some are not: never the part that happened to be in memory, which
// would pass for a shorter note. Fetching makes them arrive.
TEST(ReadCached, TheWholeReadOrNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows offers no read that takes only what is in memory";
#else
  TempDir dir;
  constexpr std::size_t kSize = 5 * 4096 + 100;
  std::string content(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) content[i] = static_cast<char>('a' + i % 26);
  const std::string path = dir.write("note.md", content);
  auto file = fs().open_file(path, platform::OpenMode::read);
  ASSERT_TRUE(file);
  ASSERT_TRUE(fs().read(*file));
  const auto warm = fs().read_cached(*file);
  if (!warm && warm.error() == std::errc::operation_not_supported) GTEST_SKIP() << "this file system cannot tell";
  ASSERT_TRUE(warm) << warm.error().message();
  ASSERT_TRUE(warm->has_value()) << "a file just read is in memory";
  EXPECT_EQ((*warm)->bytes, content);
  ASSERT_TRUE((*warm)->info);
  EXPECT_EQ((*warm)->info->size, kSize);
  const auto prefix = fs().read_cached(*file, 4096);
  ASSERT_TRUE(prefix && prefix->has_value());
  EXPECT_EQ((*prefix)->bytes, content.substr(0, 4096));

  // The tail dropped, then all of it.
  for (const off_t from : {off_t{3} * 4096, off_t{0}}) {
    if (!evict(path, from)) GTEST_SKIP() << "the pages cannot be dropped here";
    const auto cold = fs().read_cached(*file);
    ASSERT_TRUE(cold) << cold.error().message();
    if (cold->has_value()) {
      EXPECT_EQ((*cold)->bytes, content) << from;
    }
  }
  fs().prefetch(*file, kSize);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::optional<platform::FileContent> fetched;
  while (!fetched && std::chrono::steady_clock::now() < deadline) {
    auto r = fs().read_cached(*file);
    ASSERT_TRUE(r) << r.error().message();
    fetched = std::move(*r);
    if (!fetched) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(fetched) << "the prefetched bytes never arrived";
  EXPECT_EQ(fetched->bytes, content);
#endif
}

// --- Open files and folders: what is checked is what was opened ---------------

TEST(FinalName, NamesTheOpenObjectNotThePathItWasOpenedBy) {
  TempDir dir;
  dir.write("a/note.md", "x");
  dir.mkdir("b");
  auto file = fs().open_file(dir.path("a/note.md"), platform::OpenMode::read);
  ASSERT_TRUE(file);
  EXPECT_EQ(fs().final_name(*file).value_or("<error>"), canonical(dir.path("a/note.md")));

  // Renamed while open: the new name (wine keeps the name it was opened by).
  std::filesystem::rename(std::filesystem::path(dir.path("a/note.md")), std::filesystem::path(dir.path("b/moved.md")));
  if (!under_wine()) {
    EXPECT_EQ(fs().final_name(*file).value_or("<error>"), canonical(dir.path("b/moved.md")));
  }
#ifndef _WIN32
  // Deleted: not found. (Windows keeps the name of a deleted file that is
  // still open until its last handle is closed.)
  ASSERT_EQ(::unlink(dir.path("b/moved.md").c_str()), 0);
  const auto gone = fs().final_name(*file);
  ASSERT_FALSE(gone);
  EXPECT_TRUE(platform::is_not_found(gone.error())) << gone.error().message();
#endif

  // Opened through a link: the name of what it leads to.
  if (!make_link(dir.path("a"), dir.path("link"), /*folder=*/true)) {
    GTEST_SKIP() << "no symbolic link can be made here (wine makes none)";
  }
  auto through = fs().open_file(dir.path("link/other.md"), platform::OpenMode::create_new);
  ASSERT_TRUE(through);
  EXPECT_EQ(fs().final_name(*through).value_or("<error>"), canonical(dir.path("a/other.md")));
  auto folder = fs().open_dir(dir.path("link"), platform::DirUse::list);
  ASSERT_TRUE(folder);
  EXPECT_EQ(fs().final_name(*folder).value_or("<error>"), canonical(dir.path("a")));
}

TEST(OpenAt, LinksAreFollowedOnlyWhenAsked) {
  TempDir dir;
  dir.write("outside.md", "outside");
  dir.mkdir("outside-folder");
  const std::string folder_path = dir.mkdir("vault");
  if (!make_link(dir.path("outside.md"), dir.path("vault/link.md")) ||
      !make_link(dir.path("outside-folder"), dir.path("vault/sub"), /*folder=*/true)) {
    GTEST_SKIP() << "no symbolic link can be made here (wine makes none)";
  }
  auto folder = fs().open_dir(folder_path, platform::DirUse::reach);
  ASSERT_TRUE(folder);

  auto followed = fs().open_at(*folder, "link.md", platform::OpenMode::read, platform::Links::follow);
  ASSERT_TRUE(followed);
  EXPECT_EQ(fs().final_name(*followed).value_or("<error>"), canonical(dir.path("outside.md")));

  const platform::OpenMode modes[] = {platform::OpenMode::read, platform::OpenMode::write_existing,
                                      platform::OpenMode::append_existing};
  for (const auto mode : modes) {
    const auto refused = fs().open_at(*folder, "link.md", mode, platform::Links::refuse);
    ASSERT_FALSE(refused) << static_cast<int>(mode);
    EXPECT_EQ(refused.error(), std::errc::too_many_symbolic_link_levels) << refused.error().message();
  }
  // Creating never goes through a link, dangling or not.
  ASSERT_TRUE(make_link(dir.path("planted.md"), dir.path("vault/dangling.md")));
  for (const auto mode : {platform::OpenMode::create_new, platform::OpenMode::create_private}) {
    const auto created = fs().open_at(*folder, "dangling.md", mode, platform::Links::follow);
    ASSERT_FALSE(created);
    EXPECT_TRUE(platform::is_already_exists(created.error())) << created.error().message();
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path("planted.md")));

  // A folder is never entered through a link.
  const auto sub = fs().open_dir_at(*folder, "sub", platform::DirUse::list);
  ASSERT_FALSE(sub);
  EXPECT_TRUE(sub.error() == std::errc::not_a_directory || sub.error() == std::errc::too_many_symbolic_link_levels)
      << sub.error().message();
  EXPECT_EQ(fs().metadata_at(*folder, "sub").value_or(platform::FileInfo{}).type, platform::FileType::symlink);
}

TEST(OpenAt, NamesMustBeSingleComponents) {
  TempDir dir;
  dir.write("vault/a/b.md", "x");
  auto folder = fs().open_dir(dir.path("vault"), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  std::vector<std::string> names = {"", ".", "..", "a/b.md", "../vault", std::string("b\0.md", 5)};
#ifdef _WIN32
  // Both separators, and the separator of a file's streams.
  names.insert(names.end(), {"a\\b.md", "..\\vault", "a:b.md", "b.md::$DATA"});
#endif
  for (const std::string& name : names) {
    const auto opened = fs().open_at(*folder, name, platform::OpenMode::read, platform::Links::follow);
    ASSERT_FALSE(opened) << name;
    EXPECT_TRUE(platform::is_invalid_argument(opened.error())) << name << ": " << opened.error().message();
    EXPECT_TRUE(platform::is_invalid_argument(fs().create_dir_at(*folder, name).error())) << name;
  }
}

#ifndef _WIN32
TEST(ReadFile, WhatIsNoRegularFileIsRefusedWithoutWaiting) {
  TempDir dir;
  const std::string fifo = dir.path("pipe.md");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  // Opening does not wait for a writer; reading refuses at once.
  auto file = fs().open_file(fifo, platform::OpenMode::read);
  ASSERT_TRUE(file) << file.error().message();
  const auto content = fs().read(*file);
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error(), platform::Failure::not_regular_file);
  EXPECT_EQ(content.error().message(), "Not a regular file");
  const auto cached = fs().read_cached(*file);
  ASSERT_FALSE(cached);
  EXPECT_EQ(cached.error(), platform::Failure::not_regular_file);
  fs().prefetch(*file, 4096);  // nothing to fetch, and no waiting

  // A device that reads without end.
  auto device = fs().open_file("/dev/zero", platform::OpenMode::read);
  ASSERT_TRUE(device);
  const auto zeros = fs().read(*device, 1 << 20);
  ASSERT_FALSE(zeros);
  EXPECT_EQ(zeros.error(), platform::Failure::not_regular_file);
  EXPECT_EQ(fs().read_cached(*device, 1 << 20).error(), platform::Failure::not_regular_file);
}
#endif

TEST(ReadFile, EachReadStartsAtTheBeginning) {
  TempDir dir;
  const std::string path = dir.write("note.md", "0123456789");
  auto file = fs().open_file(path, platform::OpenMode::read);
  ASSERT_TRUE(file);
  const auto prefix = fs().read(*file, 4);
  ASSERT_TRUE(prefix);
  EXPECT_EQ(prefix->bytes, "0123");
  ASSERT_TRUE(prefix->info);
  EXPECT_EQ(prefix->info->size, 10u);
  const auto whole = fs().read(*file);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->bytes, "0123456789");
}

#ifndef _WIN32
TEST(CreateModes, APrivateFileIsTheOwnersAlone) {
  TempDir dir;
  auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  const mode_t old_mask = ::umask(0);
  auto shared = fs().open_at(*folder, "shared", platform::OpenMode::create_new, platform::Links::refuse);
  auto owner_only = fs().open_at(*folder, "private", platform::OpenMode::create_private, platform::Links::refuse);
  ::umask(old_mask);
  ASSERT_TRUE(shared);
  ASSERT_TRUE(owner_only);
  EXPECT_EQ(fs().file_metadata(*shared)->permissions.bits, 0666u);
  EXPECT_EQ(fs().file_metadata(*owner_only)->permissions.bits, 0600u);
  ASSERT_TRUE(fs().set_permissions(*owner_only, platform::Permissions{0644}));
  EXPECT_EQ(fs().metadata(dir.path("private"))->permissions.bits, 0644u);
}
#endif

TEST(RemoveAll, RemovesLinksWithoutFollowingThem) {
  TempDir dir;
  dir.write("keep/precious.md", "keep me");
  dir.write("tree/a/b/c.md", "x");
  dir.write("tree/top.md", "x");
  EXPECT_TRUE(platform::is_not_found(fs().remove_all(dir.path("missing")).error()));
  if (!make_link(dir.path("keep"), dir.path("tree/a/to-keep"), /*folder=*/true) ||
      !make_link(dir.path("keep/precious.md"), dir.path("tree/file-link.md"))) {
    GTEST_SKIP() << "no symbolic link can be made here (wine makes none)";
  }
  ASSERT_TRUE(fs().remove_all(dir.path("tree")));
  EXPECT_FALSE(dir.exists("tree"));
  EXPECT_EQ(dir.read("keep/precious.md"), "keep me");
  // A link given as the path itself is removed, not what it leads to.
  ASSERT_TRUE(make_link(dir.path("keep"), dir.path("link"), /*folder=*/true));
  ASSERT_TRUE(fs().remove_all(dir.path("link")));
  EXPECT_FALSE(dir.exists("link"));
  EXPECT_EQ(dir.read("keep/precious.md"), "keep me");
}

#ifndef _WIN32
TEST(Lock, AFolderLockHeldByAnotherProcessIsWaitedForAtMostTheWait) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Holds the lock for a moment, then ends (which releases it).
    auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
    const bool locked = folder && fs().lock(*folder, std::chrono::milliseconds(1000));
    const char signal = locked ? 'y' : 'n';
    static_cast<void>(::write(ready[1], &signal, 1));
    ::usleep(400'000);
    ::_exit(0);
  }
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1);
  ASSERT_EQ(signal, 'y');
  auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  const auto busy = fs().lock(*folder, std::chrono::milliseconds(50));
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error(), platform::Failure::lock_timeout);
  EXPECT_TRUE(fs().lock(*folder, std::chrono::milliseconds(10'000)));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ready[0]);
  ::close(ready[1]);
}
#endif

}  // namespace
