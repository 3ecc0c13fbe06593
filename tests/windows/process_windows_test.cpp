// Child processes on Windows: the program found along PATH as Windows names
// programs, environment names that ignore case, and the stand-in git.exe
// that the clone tests use.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/windows/helper_programs.h"
#include "vault_core/platform/error.h"
#include "vault_core/platform/process.h"
#include "vault_core/platform/win32_windows.h"

namespace {

// The folder of a full path, without the trailing backslash.
std::string folder_of(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

TEST(WindowsProcess, ProgramIsFoundAlongPathAsAnExe) {
  TempDir dir;
  const std::string probe_folder = folder_of(process_probe_path());
  // Decoys earlier on PATH: a file without the extension (a script, say) and
  // a folder with the program's name; neither is run.
  dir.write("decoys/process_probe", "not a program");
  dir.mkdir("decoys/process_probe.exe");
  struct Case {
    std::string path, program;
    bool found;
  };
  const Case cases[] = {
      {probe_folder, "process_probe", true},
      {probe_folder, "process_probe.exe", true},
      {probe_folder, "PROCESS_PROBE", true},  // file names ignore case
      {dir.path("decoys") + ";;\"" + probe_folder + "\"", "process_probe", true},
      {probe_folder + "\\", "process_probe", true},
      {dir.path("decoys"), "process_probe", false},
      {"", "process_probe", false},
      {probe_folder, "process_probe.com", false},
      {probe_folder, process_probe_path(), true},  // a full path is not searched for
      {"", process_probe_path(), true},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    env.set("PATH", c.path);
    auto r = platform::run_process(c.program, {"err:ran", "exit:7"}, {});
    if (c.found) {
      ASSERT_TRUE(r) << c.program << " along " << c.path << ": " << r.error().message();
      EXPECT_EQ(r->exit_code, 7);
      EXPECT_EQ(r->stderr_bytes, "ran");
    } else {
      ASSERT_FALSE(r) << c.program << " along " << c.path;
      EXPECT_EQ(r.error(), std::errc::no_such_file_or_directory) << r.error().message();
    }
  }
}

TEST(WindowsProcess, ProgramInTheCurrentFolderIsNotRun) {
  // Windows' own search tries the current folder first; a vault could hold a git.exe.
  ScopedEnv env;
  env.set("PATH", "C:\\tarnel-no-such-folder");
  wchar_t saved[MAX_PATH];
  ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, saved), 0u);
  ASSERT_TRUE(::SetCurrentDirectoryW(platform::to_utf16(folder_of(process_probe_path())).value().c_str()));
  auto r = platform::run_process("process_probe", {}, {});
  ::SetCurrentDirectoryW(saved);
  EXPECT_FALSE(r);
}

TEST(WindowsProcess, ExtraVariablesReplaceInheritedOnesWhateverTheirCase) {
  ScopedEnv env;
  env.set("Tarnel_Mixed_Case", "inherited");
  env.set("TARNEL_KEPT", "kept \xC3\xBC");
  auto r = platform::run_process(process_probe_path(),
                                 {"env:TARNEL_MIXED_CASE", "err:|", "env:TARNEL_KEPT", "err:|", "env:SystemRoot"},
                                 {{"TARNEL_MIXED_CASE", "extra"}});
  ASSERT_TRUE(r) << r.error().message();
  const std::string text = r->stderr_bytes;
  EXPECT_TRUE(text.starts_with("extra|kept \xC3\xBC|")) << text;
  EXPECT_NE(text.substr(text.rfind('|') + 1), "<unset>") << "the rest of the environment is inherited";
}

TEST(WindowsProcess, ArgumentsThatWindowsCannotCarryAreRefused) {
  auto r = platform::run_process(process_probe_path(), {"args", std::string("a\0b", 3)}, {});
  ASSERT_FALSE(r);
  EXPECT_TRUE(platform::is_invalid_argument(r.error()));
  r = platform::run_process(process_probe_path(), {"args", "\xFF"}, {});
  ASSERT_FALSE(r);
  EXPECT_TRUE(platform::is_invalid_argument(r.error()));
}

// What clone_vault runs, against the stand-in: a copy, and git's own failures.
TEST(WindowsProcess, StandInGitClonesAFolderOrFailsAsGitDoes) {
  TempDir dir;
  dir.write("origin repo/note.md", "# From git\n");
  dir.write("origin repo/sub/deeper.md", "deeper");
  dir.write("taken/keep.txt", "keep");
  ScopedEnv env;
  env.set("PATH", stand_in_git_folder());
  const auto clone = [&](const std::string& url, const std::string& destination) {
    return platform::run_process("git", {"clone", "--", url, destination}, {{"GIT_TERMINAL_PROMPT", "0"}});
  };

  auto r = clone(dir.path("origin repo"), dir.path("clones/first one"));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->exit_code, 0) << r->stderr_bytes;
  EXPECT_EQ(dir.read("clones/first one/note.md"), "# From git\n");
  EXPECT_EQ(dir.read("clones/first one/sub/deeper.md"), "deeper");

  std::string url = "file:///" + dir.path("origin repo");
  std::replace(url.begin(), url.end(), '\\', '/');
  r = clone(url, dir.path("clones/by url"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exit_code, 0) << r->stderr_bytes;
  EXPECT_EQ(dir.read("clones/by url/note.md"), "# From git\n");

  r = clone(dir.path("no such repo"), dir.path("clones/never"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exit_code, 128);
  EXPECT_EQ(r->stderr_bytes, "fatal: repository '" + dir.path("no such repo") + "' does not exist\n");
  EXPECT_FALSE(dir.exists("clones/never"));

  r = clone(dir.path("origin repo"), dir.path("taken"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exit_code, 128);
  EXPECT_TRUE(r->stderr_bytes.starts_with("fatal: destination path")) << r->stderr_bytes;
  EXPECT_EQ(dir.read("taken/keep.txt"), "keep");

  env.set("TARNEL_STAND_IN_GIT_EXIT", "128");
  r = clone(dir.path("origin repo"), dir.path("clones/quiet"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->exit_code, 128);
  EXPECT_EQ(r->stderr_bytes, "");
  EXPECT_FALSE(dir.exists("clones/quiet"));
}

}  // namespace
