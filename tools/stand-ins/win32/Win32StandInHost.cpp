// The helper stand-in on Windows: the machine is the real one. Faults come from the environment the
// agent hands down ("name=value;name=value" in VELOCYN_STANDIN_FAULTS).
#include <vector>

#include "StandInHost.h"
#include "common/util/Utf16.h"
#include "platform/Environment.h"
#include "platform/Registry.h"

namespace tamber::standins {

bool PrepareHost(const HostOptions&) { return true; }

FaultLookup HostFaults(const HostOptions&) {
  wchar_t buffer[2048];
  uint32_t length = platform::GetEnvironmentVariable(L"VELOCYN_STANDIN_FAULTS", buffer, 2048);
  std::string text;
  if (length > 0 && length < 2048) {
    for (uint32_t i = 0; i < length; ++i) text.push_back(static_cast<char>(buffer[i]));
  }
  return FaultsFromText(text);
}

std::wstring HostServerDn(const HostOptions&) { return ReadServerDn(); }

std::filesystem::path HostKeyVaultFile(const HostOptions&) {
  return std::filesystem::path(L"C:\\ProgramData\\Talvora\\Quorvel\\Agent\\KeyVault\\keyvault.dat");
}

PoolReporter HostPoolReporter(const HostOptions&) {
  return [](const std::wstring& poolId) {
    platform::HKey key = nullptr;
    if (platform::RegCreateKeyEx(platform::HKeyLocalMachine(), L"SOFTWARE\\Talvora\\Quorvel\\Agent\\Configuration",
                                 platform::kRegOptionNonVolatile, platform::kKeyAllAccess, &key,
                                 nullptr) != platform::kErrorSuccess) {
      return;
    }
    auto bytes = common::util::ToUtf16LeBytes(poolId);
    platform::RegSetValueEx(key, L"PoolID", platform::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
    platform::RegCloseKey(key);
  };
}

// The real machine's domain is the administrator's: every controller name is taken as given.
ControllerCheck HostControllerCheck(const HostOptions&) {
  return [](const std::wstring&) { return true; };
}

}  // namespace tamber::standins
