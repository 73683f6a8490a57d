// Tick counts, sleeps and wall time: the Win32 calls themselves.
#include "platform/Clock.h"

#include "platform/win32/Win32Api.h"

namespace tamber::platform {

namespace {

void CopySystemTime(const SYSTEMTIME& from, SystemTime* to) {
  to->year = from.wYear;
  to->month = from.wMonth;
  to->dayOfWeek = from.wDayOfWeek;
  to->day = from.wDay;
  to->hour = from.wHour;
  to->minute = from.wMinute;
  to->second = from.wSecond;
  to->milliseconds = from.wMilliseconds;
}

}  // namespace

uint32_t GetTickCount() { return ::GetTickCount(); }
uint64_t GetTickCount64() { return ::GetTickCount64(); }
void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

void GetSystemTime(SystemTime* utc) {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  CopySystemTime(now, utc);
}

void GetLocalTime(SystemTime* local) {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  CopySystemTime(now, local);
}

int32_t GetCurrentTimeZoneBias() {
  TIME_ZONE_INFORMATION zone{};
  switch (::GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_DAYLIGHT:
      return zone.Bias + zone.DaylightBias;
    case TIME_ZONE_ID_STANDARD:
      return zone.Bias + zone.StandardBias;
    case TIME_ZONE_ID_UNKNOWN:  // no daylight saving in this zone
      return zone.Bias;
    default:  // TIME_ZONE_ID_INVALID
      return 0;
  }
}

uint64_t GetSystemTimeAsFileTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace tamber::platform
