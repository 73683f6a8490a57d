#include "framework/log/LogConfig.h"

#include <algorithm>
#include <vector>

#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "platform/Registry.h"

namespace tamber::framework::log {
namespace {

constexpr wchar_t kTimeZoneKey[] = L"SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation";

struct RawValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

bool Query(platform::HKey key, const wchar_t* name, RawValue* value) {
  uint32_t size = 0;
  uint32_t type = 0;
  if (platform::RegQueryValueEx(key, name, &type, nullptr, &size) != platform::kErrorSuccess) return false;
  if (size > 64 * 1024) return false;  // no setting is that long
  value->data.resize(size);
  if (platform::RegQueryValueEx(key, name, &type, value->data.data(), &size) != platform::kErrorSuccess) return false;
  value->data.resize(std::min<size_t>(size, value->data.size()));
  value->type = type;
  return true;
}

bool ReadString(platform::HKey key, const wchar_t* name, std::wstring* out) {
  RawValue value;
  if (!Query(key, name, &value)) return false;
  if (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) return false;
  *out = common::util::FromUtf16LeBytes(value.data.data(), value.data.size());
  return true;
}

bool ReadDwordBits(const RawValue& value, uint32_t* out) {
  if (value.type != platform::kRegDword || value.data.size() < 4) return false;
  *out = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<uint32_t>(value.data[3]) << 24);
  return true;
}

std::wstring Lower(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  }
  return text;
}

std::wstring Trim(const std::wstring& text) {
  size_t begin = text.find_first_not_of(L" \t");
  if (begin == std::wstring::npos) return {};
  size_t end = text.find_last_not_of(L" \t");
  return text.substr(begin, end - begin + 1);
}

void ReadBool(platform::HKey key, const wchar_t* name, bool* out) {
  RawValue value;
  if (!Query(key, name, &value)) return;
  uint32_t number = 0;
  if (ReadDwordBits(value, &number)) {
    if (number <= 1) *out = number == 1;
    return;
  }
  if (value.type != platform::kRegSz) return;
  std::wstring text = Lower(Trim(common::util::FromUtf16LeBytes(value.data.data(), value.data.size())));
  if (text == L"true") *out = true;
  if (text == L"false") *out = false;
}

bool ReadNumber(platform::HKey key, const wchar_t* name, uint32_t* out) {
  RawValue value;
  if (!Query(key, name, &value)) return false;
  uint32_t number = 0;
  if (ReadDwordBits(value, &number)) {
    *out = number;
    return true;
  }
  if (value.type != platform::kRegSz) return false;
  std::wstring text = Trim(common::util::FromUtf16LeBytes(value.data.data(), value.data.size()));
  if (text.empty() || text.size() > 10) return false;
  uint64_t parsed = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    parsed = parsed * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (parsed > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(parsed);
  return true;
}

void ComputeDefaults(LogConfig* config, bool haveSize, bool haveDelay) {
  if (!haveSize) {
    uint32_t logs = config->maxDebugLogs == 0 ? 1 : config->maxDebugLogs;
    config->maxDebugLogSizeMB = std::max<uint32_t>(1, config->diskThresholdForLogAndEventsMB / logs);
  }
  if (!haveDelay) {
    config->logDelayNotificationTreshold =
        static_cast<uint32_t>(std::min<uint64_t>(UINT32_MAX, uint64_t{config->inactivityTimeoutSeconds} * 1000 / 24));
  }
}

}  // namespace

int LogConfig::MinimumLevel() const {
  if (EffectiveTrace()) return 0;
  if (EffectiveDebug()) return 1;
  if (logEnabled) return 2;
  return 6;
}

LogConfig DefaultLogConfig() {
  LogConfig config;
  ComputeDefaults(&config, false, false);
  return config;
}

LogConfig ReadLogConfig() {
  LogConfig config;
  bool haveSize = false;
  bool haveDelay = false;
  common::windows::UniqueHKey key;
  if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kLogConfigKey, 0, platform::kKeyRead, key.put()) ==
      platform::kErrorSuccess) {
    platform::HKey k = key.get();
    ReadBool(k, L"DeveloperMachine", &config.developerMachine);
    ReadBool(k, L"traceEnabled", &config.traceEnabled);
    ReadBool(k, L"debugEnabled", &config.debugEnabled);
    ReadBool(k, L"logEnabled", &config.logEnabled);
    ReadBool(k, L"legacyRedactEnabled", &config.legacyRedactEnabled);
    ReadBool(k, L"eventEnabled", &config.eventEnabled);
    ReadNumber(k, L"DiskThresholdForLogAndEventsMB", &config.diskThresholdForLogAndEventsMB);
    ReadBool(k, L"truncateProcIdThreadId", &config.truncateProcIdThreadId);
    ReadBool(k, L"readActiveTimeBiasFromRegistry", &config.readActiveTimeBiasFromRegistry);
    ReadNumber(k, L"msgQueueSizeThreshold", &config.msgQueueSizeThreshold);
    ReadNumber(k, L"batchLogMessageCount", &config.batchLogMessageCount);
    ReadString(k, L"DebugNameBase", &config.debugNameBase);
    ReadString(k, L"FileNameBase", &config.fileNameBase);
    ReadNumber(k, L"InactivityTimeoutSeconds", &config.inactivityTimeoutSeconds);
    ReadNumber(k, L"MaxDaysKept", &config.maxDaysKept);
    ReadNumber(k, L"MaxDebugLogs", &config.maxDebugLogs);
    haveSize = ReadNumber(k, L"MaxDebugLogSizeMB", &config.maxDebugLogSizeMB);
    haveDelay = ReadNumber(k, L"LogDelayNotificationTreshold", &config.logDelayNotificationTreshold);
    ReadString(k, L"LogFileDirectory", &config.logFileDirectory);
    ReadString(k, L"userModeLogPrograms", &config.userModeLogPrograms);
    ReadBool(k, L"loggedThresholdReached", &config.loggedThresholdReached);
  }
  // A base name that is empty or reaches into another directory would scatter the files.
  if (config.debugNameBase.empty() || config.debugNameBase.find_first_of(L"\\/:*?") != std::wstring::npos) {
    config.debugNameBase = L"debug";
  }
  if (config.fileNameBase.empty() || config.fileNameBase.find_first_of(L"\\/:*?") != std::wstring::npos) {
    config.fileNameBase = L"log";
  }
  if (config.batchLogMessageCount == 0) config.batchLogMessageCount = 1;
  if (config.maxDebugLogSizeMB == 0) haveSize = false;
  ComputeDefaults(&config, haveSize, haveDelay);

  if (config.readActiveTimeBiasFromRegistry) {
    common::windows::UniqueHKey zone;
    if (platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kTimeZoneKey, 0, platform::kKeyRead, zone.put()) ==
        platform::kErrorSuccess) {
      RawValue value;
      uint32_t bits = 0;
      if (Query(zone.get(), L"ActiveTimeBias", &value) && ReadDwordBits(value, &bits)) {
        config.activeTimeBias = static_cast<int32_t>(bits);
        config.haveActiveTimeBias = true;
      }
    }
  }
  return config;
}

}  // namespace tamber::framework::log
