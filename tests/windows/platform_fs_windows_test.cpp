// The Windows file system where Windows differs from POSIX: final names in
// the extended-length form, paths longer than MAX_PATH, the names Windows
// refuses (error 123), devices and pipes, attributes where POSIX has
// permission bits, modification times in 100 ns steps, sharing with other
// programs, appending, and the folder lock and the save retry against another
// process.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/windows/helper_programs.h"
#include "tests/support/temp_dir.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/fs.h"
#include "vault_core/platform/win32_windows.h"
#include "vault_core/vault/file.h"

namespace {

using platform::OpenMode;

platform::FileSystem& fs() { return platform::native_fs(); }

std::wstring wide(const std::string& path) { return platform::to_utf16(path).value(); }

DWORD attributes_of(const std::string& path) { return ::GetFileAttributesW(wide(path).c_str()); }

// The raw Windows error of a failed result, or 0.
template <class T>
int raw_error(const platform::Result<T>& r) {
  return r ? 0 : r.error().value();
}

TEST(WindowsFinalNames, CanonicalNamesAreFinalNamesWithTheExtendedLengthPrefix) {
  TempDir dir;
  dir.write("Vault/Sub/Note.md", "x");
  const std::string v = dir.path("Vault");
  const std::string note = canonical(dir.path("Vault/Sub/Note.md"));
  struct Case {
    std::string path, expected;
  };
  const Case cases[] = {
      {v, canonical(v)},
      {v + "\\", canonical(v)},
      {v + "/Sub/Note.md", note},                  // both slashes separate
      {v + "\\.\\Sub\\..\\Sub\\Note.md", note},    // "." and ".." are applied to the text
      {v + "\\sub\\NOTE.MD", note},                // names ignore case; the final name has the names' own
      {canonical(v) + "\\Sub\\Note.md", note},     // already extended-length
      {canonical(v) + "\\Sub/Note.md", note},      // where "/" is read as "\"
  };
  for (const auto& c : cases) {
    const auto got = fs().canonicalize(c.path);
    ASSERT_TRUE(got) << c.path << ": " << got.error().message();
    EXPECT_EQ(*got, c.expected) << c.path;
  }
  auto folder = fs().open_dir(v + "/Sub", platform::DirUse::list);
  ASSERT_TRUE(folder);
  EXPECT_EQ(fs().final_name(*folder).value_or("<error>"), canonical(dir.path("Vault/Sub")));

  EXPECT_TRUE(platform::is_not_found(fs().canonicalize(v + "\\missing.md").error()));
  EXPECT_TRUE(platform::is_not_found(fs().canonicalize("").error()));
  // In the extended-length form "." and ".." are names Windows refuses.
  EXPECT_EQ(raw_error(fs().canonicalize(canonical(v) + "\\Sub\\..\\Sub\\Note.md")), ERROR_INVALID_NAME);
  EXPECT_EQ(raw_error(fs().canonicalize(canonical(v) + "\\.\\Sub")), ERROR_INVALID_NAME);
}

TEST(WindowsFinalNames, PathsLongerThanMaxPathWork) {
  TempDir dir;
  std::string relative;
  for (char c = 'a'; c < 'g'; ++c) relative += std::string(60, c) + "/";
  const std::string folder = dir.path(relative + "deep");
  ASSERT_GT(folder.size(), 400u);
  ASSERT_TRUE(fs().create_directories(folder));
  const std::string note = folder + "\\note.md";
  {
    auto file = fs().open_file(note, OpenMode::create_new);
    ASSERT_TRUE(file) << file.error().message();
    ASSERT_TRUE(fs().write_all(*file, "far down"));
  }
  EXPECT_EQ(fs().canonicalize(note).value_or("<error>"), canonical(note));
  {
    auto file = fs().open_file(note, OpenMode::read);
    ASSERT_TRUE(file);
    EXPECT_EQ(fs().read(*file).value().bytes, "far down");
    auto listing = fs().open_dir(folder, platform::DirUse::list);
    ASSERT_TRUE(listing);
    const auto entry = fs().next_entry(*listing);
    ASSERT_TRUE(entry && *entry);
    EXPECT_EQ((*entry)->name, "note.md");
  }
  ASSERT_TRUE(fs().remove_all(dir.path(relative.substr(0, 60))));
  EXPECT_FALSE(dir.exists(relative.substr(0, 60)));

  // Beyond what a UNICODE_STRING holds a path is too long (wine would cut it
  // short and name another file).
  const std::string too_long = dir.path(std::string(40000, 'p'));
  EXPECT_EQ(raw_error(fs().canonicalize(too_long)), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(raw_error(fs().open_file(too_long, OpenMode::create_new)), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(raw_error(fs().create_directories(too_long)), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{});
}

TEST(WindowsNames, TextThatIsNotUtf8AndNamesWindowsRefuseAreError123) {
  TempDir dir;
  for (const std::string& path :
       {dir.path("caf\xE9.md"), dir.path(std::string("a\0b.md", 6)), dir.path("\xED\xA0\x80")}) {
    const auto got = fs().canonicalize(path);
    EXPECT_EQ(raw_error(got), ERROR_INVALID_NAME) << path;
    EXPECT_TRUE(platform::is_invalid_argument(got.error())) << path;
  }
  auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  // New names: characters Windows does not allow, a trailing dot or space
  // (which Windows programs would drop), the names of devices.
  const std::string refused[] = {"a<b.md", "a>b.md", "a|b.md",  "a?b.md", "a*b.md", "a\"b.md", "a\tb.md", "x.md.",
                                 "x.md ",  "CON",    "con.md",  "Nul.txt", "COM1.md", "lpt9",   "AUX .md", "a:b.md"};
  for (const std::string& name : refused) {
    EXPECT_EQ(raw_error(fs().open_at(*folder, name, OpenMode::create_new, platform::Links::refuse)), ERROR_INVALID_NAME)
        << name;
    EXPECT_EQ(raw_error(fs().create_dir_at(*folder, name)), ERROR_INVALID_NAME) << name;
  }
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{});
  // Names that only resemble them are fine.
  for (const std::string name : {"CONSOLE.md", "com10.md", "nul-notes.md", " leading space.md", "caf\u00E9.md"}) {
    auto created = fs().open_at(*folder, name, OpenMode::create_new, platform::Links::refuse);
    EXPECT_TRUE(created) << name << ": " << created.error().message();
  }
  EXPECT_EQ(folder_names(dir.path()).size(), 5u);
}

TEST(WindowsDevices, ADeviceOrAPipeIsNeverRead) {
  TempDir dir;
  // A device by its own name, and by a device name in a folder.
  for (const std::string& path : {std::string("\\\\.\\NUL"), dir.path("NUL")}) {
    auto device = fs().open_file(path, OpenMode::read);
    ASSERT_TRUE(device) << path << ": " << device.error().message();
    EXPECT_EQ(fs().read(*device).error(), platform::Failure::not_regular_file) << path;
    EXPECT_EQ(fs().final_name(*device).error(), platform::Failure::not_regular_file) << path;
    EXPECT_EQ(fs().canonicalize(path).error(), platform::Failure::not_regular_file) << path;
    EXPECT_EQ(fs().metadata(path).value().type, platform::FileType::other) << path;
  }
  // A pipe that holds bytes and would wait for more: refused at once.
  const std::string name = "\\\\.\\pipe\\tarnel-test-" + std::to_string(::GetCurrentProcessId());
  const HANDLE server = ::CreateNamedPipeW(wide(name).c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                           4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  auto pipe = fs().open_file(name, OpenMode::read);
  ASSERT_TRUE(pipe) << pipe.error().message();
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(server, "first ", 6, &written, nullptr));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(fs().read(*pipe).error(), platform::Failure::not_regular_file);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  ::CloseHandle(server);
}

TEST(WindowsAttributes, TheReadOnlyAttributeAndTheAttributesANoteKeeps) {
  TempDir dir;
  const std::string locked = dir.write("locked.md", "x");
  set_read_only(locked);
  EXPECT_TRUE(fs().metadata(locked).value().read_only);
  EXPECT_FALSE(fs().metadata(dir.write("plain.md", "x")).value().read_only);
  // Never opened for writing, whoever asks (wine run by root would allow it).
  EXPECT_EQ(raw_error(fs().open_file(locked, OpenMode::write_existing)), ERROR_ACCESS_DENIED);
  auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  for (const OpenMode mode : {OpenMode::write_existing, OpenMode::append_existing, OpenMode::open_or_create}) {
    EXPECT_EQ(raw_error(fs().open_at(*folder, "locked.md", mode, platform::Links::refuse)), ERROR_ACCESS_DENIED);
  }
  EXPECT_TRUE(fs().open_file(locked, OpenMode::read));

  // A replacement takes the hidden attribute of the note it replaces, never
  // the read-only one; a private file is an ordinary file that others may read.
  const std::string hidden = dir.write("hidden.md", "x");
  ASSERT_TRUE(::SetFileAttributesW(wide(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  const platform::Permissions kept = fs().metadata(hidden).value().permissions;
  auto replacement = fs().open_at(*folder, "new.md", OpenMode::create_private, platform::Links::refuse);
  ASSERT_TRUE(replacement);
  const HANDLE reader = ::CreateFileW(wide(dir.path("new.md")).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  ::CloseHandle(reader);
  ASSERT_TRUE(fs().set_permissions(*replacement, kept));
  EXPECT_EQ(attributes_of(dir.path("new.md")) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

TEST(WindowsTimes, ModificationTimesInHundredNanosecondSteps) {
  TempDir dir;
  const std::string path = dir.write("n.md", "x");
  struct Case {
    std::int64_t ticks_since_1970;  // 100 ns steps
    std::int64_t sec;
    std::uint32_t nsec;
  };
  const Case cases[] = {
      {17'000'000'001'234'567, 1'700'000'000, 123'456'700},
      {1, 0, 100},
      {0, 0, 0},
      {-1'000'000, -1, 900'000'000},  // 0.1 s before 1970: the second before, and 0.9 s into it
      {-315'360'000'000'000, -31'536'000, 0},
  };
  for (const auto& c : cases) {
    const auto ticks = static_cast<std::uint64_t>(c.ticks_since_1970 + 116444736000000000);
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const HANDLE h = ::CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &time));
    ::CloseHandle(h);
    const auto info = fs().metadata(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->mtime_sec, c.sec) << c.ticks_since_1970;
    EXPECT_EQ(info->mtime_nsec, c.nsec) << c.ticks_since_1970;
  }
}

TEST(WindowsSharing, WhatTheServerHasOpenStaysOpenToOtherPrograms) {
  TempDir dir;
  const std::string note = dir.write("v/n.md", "text");
  const std::string other = dir.write("v/other.md", "other");
  auto reading = fs().open_file(note, OpenMode::read);
  ASSERT_TRUE(reading);
  auto folder = fs().open_dir(dir.path("v"), platform::DirUse::list);
  ASSERT_TRUE(folder);
  auto appending = fs().open_at(*folder, "other.md", OpenMode::append_existing, platform::Links::refuse);
  ASSERT_TRUE(appending);
  // Another program writes both notes, renames one and deletes the other
  // while they are open.
  for (const std::string& path : {note, other}) {
    const HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0x7, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path << ": " << ::GetLastError();
    ::CloseHandle(h);
  }
  EXPECT_TRUE(::MoveFileExW(wide(note).c_str(), wide(dir.path("v/renamed.md")).c_str(), 0)) << ::GetLastError();
  EXPECT_TRUE(::DeleteFileW(wide(other).c_str())) << ::GetLastError();
  // And renames the folder the server has open (Windows renames no folder
  // with an open file inside).
  reading = platform::File();
  appending = platform::File();
  EXPECT_TRUE(::MoveFileExW(wide(dir.path("v")).c_str(), wide(dir.path("w")).c_str(), 0)) << ::GetLastError();
  // Its final name follows (wine keeps the name it was opened by).
  if (!under_wine()) {
    EXPECT_EQ(fs().final_name(*folder).value_or("<error>"), canonical(dir.path("w")));
  }
}

TEST(WindowsAppend, WritesGoToTheEndAndCanBeCutBack) {
  TempDir dir;
  const std::string note = dir.write("n.md", "abc");
  auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  auto appending = fs().open_at(*folder, "n.md", OpenMode::append_existing, platform::Links::refuse);
  ASSERT_TRUE(appending);
  // Another program extends the note after it was opened.
  const HANDLE h = ::CreateFileW(wide(note).c_str(), FILE_APPEND_DATA, 0x7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(h, "XYZ", 3, &written, nullptr));
  ::CloseHandle(h);
  ASSERT_TRUE(fs().write_all(*appending, "123"));
  EXPECT_EQ(dir.read("n.md"), "abcXYZ123");
  // A failed append is cut back through the same handle.
  ASSERT_TRUE(fs().truncate(*appending, 3));
  EXPECT_EQ(dir.read("n.md"), "abc");
  EXPECT_EQ(fs().file_metadata(*appending).value().size, 3u);
}

TEST(WindowsLock, AFolderLockHeldByAnotherProcessIsWaitedForAtMostTheWait) {
  TempDir dir;
  const std::string folder_path = dir.mkdir("config");
  ProbeChild holder({"lock:" + folder_path, "out:locked", "wait"});
  ASSERT_TRUE(holder.wait_for("locked"));
  // Whatever name the folder is opened by, it is the same lock.
  for (std::string name : {folder_path, folder_path + "\\", canonical(folder_path)}) {
    auto folder = fs().open_dir(name, platform::DirUse::reach);
    ASSERT_TRUE(folder) << name;
    EXPECT_EQ(fs().lock(*folder, std::chrono::milliseconds(50)).error(), platform::Failure::lock_timeout) << name;
  }
  auto folder = fs().open_dir(folder_path, platform::DirUse::reach);
  ASSERT_TRUE(folder);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.finish();
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(fs().lock(*folder, std::chrono::milliseconds(10'000)));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  release.join();
  // Held until the folder is closed; then another process takes it at once.
  EXPECT_TRUE(fs().lock(*folder, std::chrono::milliseconds(0)));
  ProbeChild waiting({"lock:" + folder_path, "out:locked", "wait"});
  EXPECT_FALSE(waiting.wait_for("locked", 200));
  folder = platform::Dir();
  EXPECT_TRUE(waiting.wait_for("locked"));
  EXPECT_EQ(waiting.finish(), 0);
}

TEST(WindowsLock, ALockWhoseHolderDiedIsTaken) {
  TempDir dir;
  const std::string folder_path = dir.mkdir("config");
  ProbeChild holder({"lock:" + folder_path, "out:locked", "wait"});
  ASSERT_TRUE(holder.wait_for("locked"));
  holder.kill();
  auto folder = fs().open_dir(folder_path, platform::DirUse::reach);
  ASSERT_TRUE(folder);
  EXPECT_TRUE(fs().lock(*folder, std::chrono::milliseconds(2000)));
}

// A clock that records the waits asked of it and returns at once.
class RecordingClock : public platform::Clock {
 public:
  void sleep_ms(unsigned ms) override { waits.push_back(ms); }
  std::vector<unsigned> waits;
};

// Another program holds the note open without sharing delete access (as some
// editors do): Windows then refuses to replace it with error 5, which the
// store retries.
TEST(WindowsSaveRetry, ANoteHeldByAnotherProcessIsRetriedThenReported) {
  TempDir dir;
  const std::string note = dir.write("n.md", "old");
  auto folder = fs().open_dir(dir.path(), platform::DirUse::reach);
  ASSERT_TRUE(folder);
  const vault::NoteTarget target{*folder, "n.md", note};
  {
    ProbeChild holder({"hold:" + note, "out:held", "wait"});
    ASSERT_TRUE(holder.wait_for("held"));
    RecordingClock clock;
    platform::ScopedClock waits(clock);
    const auto saved = vault::save_note_file(target, "never written");
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error(), "Failed to save " + note + ": " + platform::system_error(ERROR_ACCESS_DENIED).message());
    EXPECT_EQ(clock.waits, (std::vector<unsigned>{25, 50, 100, 200}));
    EXPECT_EQ(holder.finish(), 0);
  }
  EXPECT_EQ(dir.read("n.md"), "old");
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});

  // Released while the save waits: a later attempt succeeds.
  ProbeChild holder({"hold:" + note, "out:held", "wait"});
  ASSERT_TRUE(holder.wait_for("held"));
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    holder.finish();
  });
  const auto started = std::chrono::steady_clock::now();
  const auto saved = vault::save_note_file(target, "new");
  const auto took = std::chrono::steady_clock::now() - started;
  release.join();
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_GE(took, std::chrono::milliseconds(25));
  EXPECT_EQ(dir.read("n.md"), "new");
  EXPECT_EQ(folder_names(dir.path()), std::vector<std::string>{"n.md"});
}

}  // namespace
