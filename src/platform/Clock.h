// Clock seam. In the simulated guest every duration is machine time.
#pragma once

#include <cstdint>

namespace tamber::platform {

struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

uint32_t GetTickCount();
uint64_t GetTickCount64();
void Sleep(uint32_t milliseconds);

void GetSystemTime(SystemTime* utc);
void GetLocalTime(SystemTime* local);
// Current bias in minutes (UTC = local time + bias), daylight saving included.
int32_t GetCurrentTimeZoneBias();
// 100 ns intervals since 1601-01-01 UTC (GetSystemTimeAsFileTime).
uint64_t GetSystemTimeAsFileTime();

}  // namespace tamber::platform
