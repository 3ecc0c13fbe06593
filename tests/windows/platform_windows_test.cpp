// The Windows platform layer where Windows differs from POSIX: Win32 error
// numbers and their texts, UTF-16 text, the Win32 environment, the known
// folder, the local time zone and the random source.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "tests/support/scoped_env.h"
#include "vault_core/platform/clock.h"
#include "vault_core/platform/env.h"
#include "vault_core/platform/error.h"
#include "vault_core/platform/win32_windows.h"
#include "vault_core/unicode/unicode.h"

namespace {

using platform::system_error;

TEST(WindowsErrors, RawNumbersAreClassified) {
  struct Case {
    int code;
    bool not_found, exists, denied, invalid;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, true, false, false, false},
      {ERROR_PATH_NOT_FOUND, true, false, false, false},
      {ERROR_FILE_EXISTS, false, true, false, false},
      {ERROR_ALREADY_EXISTS, false, true, false, false},
      {ERROR_ACCESS_DENIED, false, false, true, false},
      // The C++ runtime takes 123 for "no such file": it is a name Windows refuses.
      {ERROR_INVALID_NAME, false, false, false, true},
      {ERROR_INVALID_PARAMETER, false, false, false, true},
      {ERROR_SHARING_VIOLATION, false, false, false, false},
      {ERROR_CALL_NOT_IMPLEMENTED, false, false, false, false},
  };
  for (const auto& c : cases) {
    for (const std::error_code ec : {system_error(c.code), std::error_code(c.code, std::system_category())}) {
      EXPECT_EQ(platform::is_not_found(ec), c.not_found) << c.code << " " << ec.category().name();
      EXPECT_EQ(platform::is_already_exists(ec), c.exists) << c.code << " " << ec.category().name();
      EXPECT_EQ(platform::is_permission_denied(ec), c.denied) << c.code << " " << ec.category().name();
      EXPECT_EQ(platform::is_invalid_argument(ec), c.invalid) << c.code << " " << ec.category().name();
    }
  }
  EXPECT_NE(system_error(ERROR_INVALID_NAME), std::errc::no_such_file_or_directory);
  // Errors made from POSIX numbers (as fault-injecting tests do) classify as on POSIX.
  EXPECT_TRUE(platform::is_permission_denied(std::error_code(EACCES, std::generic_category())));
  EXPECT_TRUE(platform::is_not_found(std::error_code(ENOENT, std::generic_category())));
}

TEST(WindowsErrors, WinsockNumbersCompareLikeTheirPosixTwins) {
  struct Case {
    int code;
    std::errc condition;
  };
  const Case cases[] = {
      {WSAECONNREFUSED, std::errc::connection_refused}, {WSAETIMEDOUT, std::errc::timed_out},
      {WSAEWOULDBLOCK, std::errc::resource_unavailable_try_again}, {WSAECONNRESET, std::errc::connection_reset},
      {WSAECONNABORTED, std::errc::connection_aborted}, {WSAEINVAL, std::errc::invalid_argument},
      {WSAEBADF, std::errc::bad_file_descriptor},
  };
  for (const auto& c : cases) EXPECT_EQ(system_error(c.code), c.condition) << c.code;
  EXPECT_EQ(system_error(ERROR_ACCESS_DENIED), std::errc::permission_denied);
}

TEST(WindowsErrors, MessagesAreOneLineOfUtf8SystemText) {
  const std::initializer_list<int> codes = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_NAME,
                                            WSAECONNREFUSED};
  for (const int code : codes) {
    const std::string text = system_error(code).message();
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_TRUE(unicode::is_valid_utf8(text)) << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code << ": " << text;
    EXPECT_NE(text.back(), ' ') << code;
  }
  // Not the C runtime's texts for the POSIX numbers of the same value (5 is EIO there).
  EXPECT_NE(system_error(ERROR_ACCESS_DENIED).message(), std::generic_category().message(5));
  // A number the system has no text for still says which it is.
  EXPECT_EQ(system_error(0x2FFFFFFF).message(), "Unknown error 805306367");
}

TEST(WindowsText, Utf8AndUtf16RoundTrip) {
  const std::string texts[] = {"", "plain", "ünï cödé", "\xE2\x82\xAC", "\xF0\x9F\x92\xA1 note", "\xEF\xBF\xBF"};
  for (const auto& text : texts) {
    const auto wide = platform::to_utf16(text);
    ASSERT_TRUE(wide) << text;
    EXPECT_EQ(platform::to_utf8(*wide), text);
  }
  EXPECT_EQ(platform::to_utf16("\xF0\x9F\x92\xA1").value(), std::wstring(L"\xD83D\xDCA1"));
}

TEST(WindowsText, IllFormedUtf8IsRefused) {
  const std::string bad[] = {"\xC0\xAF", "\xED\xA0\x80", "\xFF", "ab\xE2\x82", std::string("a\0b", 3)};
  for (const auto& text : bad) {
    const auto as_name = platform::to_utf16(text, /*is_name=*/true);
    ASSERT_FALSE(as_name);
    EXPECT_EQ(as_name.error().value(), ERROR_INVALID_NAME);
    EXPECT_TRUE(platform::is_invalid_argument(as_name.error()));
    const auto as_text = platform::to_utf16(text);
    ASSERT_FALSE(as_text);
    EXPECT_TRUE(platform::is_invalid_argument(as_text.error()));
  }
}

TEST(WindowsText, LoneSurrogatesBecomeTextThatIsNotUtf8) {
  // Windows lets names and values hold them; two different ones stay different.
  const std::string high = platform::to_utf8(std::wstring(L"a\xD800z"));
  const std::string low = platform::to_utf8(std::wstring(L"a\xDC00z"));
  EXPECT_EQ(high, "a\xED\xA0\x80z");
  EXPECT_NE(high, low);
  EXPECT_FALSE(unicode::is_valid_utf8(high));
  EXPECT_FALSE(unicode::is_valid_utf8(platform::to_utf8(std::wstring(1, L'\xDBFF'))));
}

TEST(WindowsEnvironment, LiveLookupsReadTheWin32Environment) {
  ScopedEnv env;
  env.set("TARNEL_WIN32_ONLY", "from Win32 \xE2\x82\xAC");
  // The C runtime keeps its own copy, which SetEnvironmentVariableW does not change.
  EXPECT_EQ(std::getenv("TARNEL_WIN32_ONLY"), nullptr);
  EXPECT_EQ(platform::get_env("TARNEL_WIN32_ONLY"), "from Win32 \xE2\x82\xAC");
  EXPECT_EQ(platform::get_env("tarnel_win32_only"), "from Win32 \xE2\x82\xAC") << "names ignore case";
  env.set("TARNEL_WIN32_ONLY", "");
  EXPECT_EQ(platform::get_env("TARNEL_WIN32_ONLY"), "");
  env.unset("TARNEL_WIN32_ONLY");
  EXPECT_EQ(platform::get_env("TARNEL_WIN32_ONLY"), std::nullopt);
  const std::string long_value(5000, 'v');
  env.set("TARNEL_WIN32_ONLY", long_value);
  EXPECT_EQ(platform::get_env("TARNEL_WIN32_ONLY"), long_value);
}

TEST(WindowsEnvironment, SnapshotHoldsEveryEntryOfTheBlock) {
  ScopedEnv env;
  env.set("TARNEL_SNAPSHOT", "a=b \xC3\xBC");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TARNEL_SURROGATE", L"x\xD800"));
  // The per-drive current folder that a command shell keeps.
  ASSERT_TRUE(::SetEnvironmentVariableW(L"=Q:", L"Q:\\work"));
  const platform::EnvSnapshot snapshot = platform::capture_environment();
  ::SetEnvironmentVariableW(L"TARNEL_SURROGATE", nullptr);
  ::SetEnvironmentVariableW(L"=Q:", nullptr);

  EXPECT_EQ(platform::snapshot_lookup(snapshot, "TARNEL_SNAPSHOT"), "a=b \xC3\xBC");
  EXPECT_EQ(platform::snapshot_lookup(snapshot, "=Q:"), "Q:\\work");
  const auto surrogate = platform::snapshot_lookup(snapshot, "TARNEL_SURROGATE");
  ASSERT_TRUE(surrogate);
  EXPECT_FALSE(unicode::is_valid_utf8(*surrogate));
  // Snapshot lookups compare names exactly, as the server's settings are read.
  EXPECT_EQ(platform::snapshot_lookup(snapshot, "tarnel_snapshot"), std::nullopt);
  for (const auto& [name, value] : snapshot) EXPECT_FALSE(name.empty()) << "=" << value;
}

TEST(WindowsEnvironment, ConfigRootIsTheRoamingApplicationDataFolder) {
  // The system names the same folder in %APPDATA%; HOME does not move it.
  const auto appdata = platform::get_env("APPDATA");
  ASSERT_TRUE(appdata);
  ScopedEnv env;
  env.set("HOME", "C:\\elsewhere");
  const auto root = platform::config_root();
  ASSERT_TRUE(root);
  EXPECT_EQ(*root, *appdata);
  EXPECT_TRUE(root->ends_with("\\AppData\\Roaming")) << *root;
}

TEST(WindowsEnvironment, ProcessIdIsThisProcess) {
  EXPECT_EQ(platform::process_id(), ::GetCurrentProcessId());
}

TEST(WindowsClock, LocalTimeFollowsTheSystemTimeZoneNotTz) {
  // The C runtime's localtime would read TZ in its own format ("five hours
  // west of UTC"); the system's time zone is what counts.
  ScopedEnv env;
  env.set("TZ", "XYZ+05");
  std::string text;
  SYSTEMTIME before{}, after{};
  for (int attempt = 0; attempt < 3; ++attempt) {
    ::GetLocalTime(&before);
    text = platform::local_time_text("%Y-%m-%d %H:%M:%S");
    ::GetLocalTime(&after);
    if (before.wSecond == after.wSecond) break;  // the same second on both sides
  }
  char expected[32];
  std::snprintf(expected, sizeof expected, "%04u-%02u-%02u %02u:%02u:%02u", before.wYear, before.wMonth, before.wDay,
                before.wHour, before.wMinute, before.wSecond);
  EXPECT_EQ(text, expected);
}

TEST(WindowsClock, LocalTimeFillsEveryPatternField) {
  const std::string text = platform::local_time_text("%a %j %p %%");
  EXPECT_TRUE(std::regex_match(text, std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [0-3][0-9][0-9] (AM|PM) %"))) << text;
}

TEST(WindowsClock, SecureRandomFillsTheBuffer) {
  std::set<std::string> draws;
  for (int i = 0; i < 4; ++i) {
    std::string bytes(64, '\0');
    ASSERT_TRUE(platform::secure_random(bytes.data(), bytes.size()));
    EXPECT_NE(bytes, std::string(64, '\0'));
    draws.insert(bytes);
  }
  EXPECT_EQ(draws.size(), 4u);
  EXPECT_TRUE(platform::secure_random(nullptr, 0));
}

}  // namespace
