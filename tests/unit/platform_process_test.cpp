// Child processes: exit status, captured standard error, extra environment,
// arguments passed unchanged.
#include "vault_core/platform/process.h"

#include <gtest/gtest.h>

#include "tests/support/scoped_env.h"
#ifdef _WIN32
#include "tests/windows/helper_programs.h"
#endif

namespace {

// The child of a test: a shell script on POSIX; on Windows, which has no
// shell, the same steps done by process_probe.exe, a program of the tests.
struct Child {
  std::string program;
  std::vector<std::string> args;
};

Child child([[maybe_unused]] const std::string& script,
            [[maybe_unused]] const std::vector<std::string>& probe_steps) {
#ifdef _WIN32
  return {process_probe_path(), probe_steps};
#else
  return {"sh", {"-c", script}};
#endif
}

platform::Result<platform::ProcessOutcome> run(const Child& c,
                                               const std::vector<std::pair<std::string, std::string>>& extra_env = {}) {
  return platform::run_process(c.program, c.args, extra_env);
}

TEST(RunProcess, ReportsExitCodeAndStandardError) {
  auto r = run(child("echo out; echo err >&2; exit 3", {"out:out\n", "err:err\n", "exit:3"}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, 3);
  EXPECT_EQ(r->stderr_bytes, "err\n");  // standard output went to the null device
}

TEST(RunProcess, ExtraEnvironmentReplacesInheritedValues) {
  ScopedEnv env;
  env.set("TARNEL_PROCESS_TEST", "inherited");
  auto r = run(child("printf '%s %s' \"$TARNEL_PROCESS_TEST\" \"$EXTRA\" >&2",
                     {"env:TARNEL_PROCESS_TEST", "err: ", "env:EXTRA"}),
               {{"TARNEL_PROCESS_TEST", "0"}, {"EXTRA", "never"}});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->stderr_bytes, "0 never");
}

TEST(RunProcess, StandardInputIsTheNullDevice) {
  auto r = run(child("cat >&2; exit 0", {"stdin", "exit:0"}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, 0);
  EXPECT_EQ(r->stderr_bytes, "");
}

TEST(RunProcess, StandardErrorIsReadToItsEndWhileTheChildRuns) {
  // Far more than a pipe holds: waiting for the child before reading would never end.
  auto r = run(child("head -c 1000000 /dev/zero | tr '\\0' x >&2", {"err-bytes:1000000"}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, 0);
  EXPECT_EQ(r->stderr_bytes, std::string(1000000, 'x'));
}

TEST(RunProcess, ArgumentsArriveUnchanged) {
  // Windows passes one command line that the child splits again: spaces,
  // quotes and backslashes before quotes must survive the quoting.
  const std::vector<std::string> args = {
      "plain", "", "two words", "tab\there", "line\nbreak", "a\"quote", "\"", "back\\slash", "trailing\\", "trailing\\\\",
      "\\\"", "\\\\\"x\"\\\\", "C:\\Program Files\\", "\\\\server\\share", "ünï cödé 💡", "%PATH%", "a&b|c>d",
  };
  Child c = child("printf '[%s]' \"$@\" >&2", {"args"});
#ifndef _WIN32
  c.args.emplace_back("sh");  // $0 of the script
#endif
  c.args.insert(c.args.end(), args.begin(), args.end());
  auto r = run(c);
  ASSERT_TRUE(r.has_value());
  std::string expected;
  for (const auto& a : args) expected += "[" + a + "]";
  EXPECT_EQ(r->stderr_bytes, expected);
}

TEST(RunProcess, KilledBySignalHasNoExitCode) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no signals: a process that is killed ends with the exit code its killer gives";
#endif
  auto r = platform::run_process("sh", {"-c", "kill -9 $$"}, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, std::nullopt);
}

TEST(RunProcess, MissingProgramCannotStart) {
  auto r = platform::run_process("tarnel-no-such-program-xyz", {}, {});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), std::errc::no_such_file_or_directory);
}

}  // namespace
