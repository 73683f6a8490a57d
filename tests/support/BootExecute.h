// The session manager's BootExecute list of a test machine, as the golden image's first boot leaves it:
// the boot-time agent runs at a simulated boot only when the list names it.
#pragma once

#include <string>
#include <vector>

#include "common/util/Utf16.h"
#include "platform/Registry.h"

namespace tamber::test {

inline constexpr const wchar_t* kSessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Writes and flushes BootExecute with the given entries; true on success.
inline bool WriteBootExecute(const std::vector<std::wstring>& entries) {
  std::wstring joined;
  for (const auto& entry : entries) joined += entry + L'\0';
  joined += L'\0';
  std::vector<uint8_t> bytes = common::util::ToUtf16LeBytes(joined);
  platform::HKey key = nullptr;
  uint32_t disposition = 0;
  if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), kSessionManagerKey, platform::kRegOptionNonVolatile,
                               platform::kKeyAllAccess, &key, &disposition) != 0) {
    return false;
  }
  bool ok = platform::RegSetValueEx(key, L"BootExecute", platform::kRegMultiSz, bytes.data(),
                                    static_cast<uint32_t>(bytes.size())) == 0 &&
            platform::RegFlushKey(key) == 0;
  platform::RegCloseKey(key);
  return ok;
}

// The list a golden image leaves after its first boot: the system's check, then the boot-time agent.
inline bool RegisterBootTimeAgent() {
  return WriteBootExecute({L"autocheck autochk *", L"System32\\talvora-qx-nga.exe"});
}

}  // namespace tamber::test
