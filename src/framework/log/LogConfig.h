// Settings of the log writer: values under HKLM "Software\Talvora\Quorvel\Log", defaults in code.
//
// Booleans are REG_SZ "true" or "false" (case ignored; a REG_DWORD 0 or 1 is taken too); numbers are
// REG_DWORD or decimal REG_SZ; names are REG_SZ. A value that is missing or unreadable keeps its default.
//
// Two defaults are computed, because they depend on other settings:
// - "MaxDebugLogSizeMB" = "DiskThresholdForLogAndEventsMB" / "MaxDebugLogs" (20 MB with the stock
//   values, at least 1): the kept debug files together stay within the space the disk guard reserves.
// - "LogDelayNotificationTreshold" = "InactivityTimeoutSeconds" x 1000 / 24 ms (5000 ms with the stock
//   values): a line that waited a twenty-fourth of the writer's inactivity window is worth flagging,
//   and the figure scales when that window is tuned. 0 set explicitly turns the report off.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::framework::log {

struct LogConfig {
  bool developerMachine = false;
  bool traceEnabled = false;
  bool debugEnabled = true;
  bool logEnabled = true;
  bool legacyRedactEnabled = true;  // read and kept; this agent has no legacy redaction to do
  bool eventEnabled = true;         // read and kept; this agent writes no event-log entries
  uint32_t diskThresholdForLogAndEventsMB = 200;
  bool truncateProcIdThreadId = false;
  bool readActiveTimeBiasFromRegistry = false;
  uint32_t msgQueueSizeThreshold = 150000;
  uint32_t batchLogMessageCount = 10;
  std::wstring debugNameBase = L"debug";
  std::wstring fileNameBase = L"log";
  uint32_t inactivityTimeoutSeconds = 120;  // files are closed after this long without a message
  uint32_t maxDaysKept = 7;
  uint32_t maxDebugLogs = 10;
  uint32_t maxDebugLogSizeMB = 0;             // computed when not configured
  uint32_t logDelayNotificationTreshold = 0;  // computed when not configured (milliseconds)

  std::wstring logFileDirectory;  // empty: the default directory
  std::wstring userModeLogPrograms;
  bool loggedThresholdReached = false;
  bool haveActiveTimeBias = false;
  int32_t activeTimeBias = 0;  // minutes, from TimeZoneInformation when asked for

  // "DeveloperMachine" turns tracing on and tracing turns debug on, whatever is stored.
  bool EffectiveTrace() const { return traceEnabled || developerMachine; }
  bool EffectiveDebug() const { return debugEnabled || EffectiveTrace(); }
  // The lowest level that passes the filter (6: nothing passes).
  int MinimumLevel() const;
};

// The stock settings with the computed defaults filled in.
LogConfig DefaultLogConfig();
// Reads the settings through the registry seam (never through the registry wrappers, which log).
LogConfig ReadLogConfig();

// The registry location of the settings.
inline constexpr wchar_t kLogConfigKey[] = L"Software\\Talvora\\Quorvel\\Log";

}  // namespace tamber::framework::log
