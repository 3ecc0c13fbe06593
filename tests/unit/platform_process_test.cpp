// Child processes: exit status, captured standard error, extra environment.
#include "platform/process.h"

#include <gtest/gtest.h>

namespace {

TEST(RunProcess, ReportsExitCodeAndStandardError) {
  auto r = platform::run_process("sh", {"-c", "echo out; echo err >&2; exit 3"}, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, 3);
  EXPECT_EQ(r->stderr_bytes, "err\n");  // standard output went to the null device
}

TEST(RunProcess, ExtraEnvironmentReplacesInheritedValues) {
  ::setenv("TARNEL_PROCESS_TEST", "inherited", 1);
  auto r = platform::run_process("sh", {"-c", "printf '%s %s' \"$TARNEL_PROCESS_TEST\" \"$EXTRA\" >&2"},
                                 {{"TARNEL_PROCESS_TEST", "0"}, {"EXTRA", "never"}});
  ::unsetenv("TARNEL_PROCESS_TEST");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->stderr_bytes, "0 never");
}

TEST(RunProcess, StandardInputIsTheNullDevice) {
  auto r = platform::run_process("sh", {"-c", "cat >&2; exit 0"}, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->exit_code, 0);
  EXPECT_EQ(r->stderr_bytes, "");
}

TEST(RunProcess, KilledBySignalHasNoExitCode) {
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
