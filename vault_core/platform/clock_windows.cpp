// Windows implementation of time, sleeping and the secure random source.
#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>
#include <ctime>
#include <limits>

#include "vault_core/platform/clock.h"

namespace platform {

std::string local_time_text(const char* pattern) {
  // The system's local time with the time zone of the machine's settings; the
  // C runtime's localtime would follow a TZ variable in its own format instead.
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  static constexpr int kDaysBeforeMonth[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int year = now.wYear;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = now.wMonth - 1;
  local.tm_mday = now.wDay;
  local.tm_hour = now.wHour;
  local.tm_min = now.wMinute;
  local.tm_sec = now.wSecond;
  local.tm_wday = now.wDayOfWeek;
  local.tm_yday = kDaysBeforeMonth[local.tm_mon] + (leap && local.tm_mon > 1 ? 1 : 0) + now.wDay - 1;
  TIME_ZONE_INFORMATION zone{};
  local.tm_isdst = ::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT ? 1 : 0;
  char buffer[128];
  const std::size_t n = std::strftime(buffer, sizeof buffer, pattern, &local);
  return std::string(buffer, n);
}

void sleep_ms(unsigned ms) { ::Sleep(ms); }

Result<void> secure_random(void* buffer, std::size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
    const NTSTATUS status = ::BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
      return std::unexpected(system_error(static_cast<int>(::RtlNtStatusToDosError(status))));
    }
    p += chunk;
    size -= chunk;
  }
  return {};
}

}  // namespace platform
