#include "MachineImage.h"

#include "RegistryView.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Registry.h"
#include "platform/sim/machine/SimPaths.h"

namespace velocyn::sim_cli {

using namespace tamber::core::util;
using tamber::platform::sim::NarrowUtf8;

namespace {

std::wstring LocalMachine(const wchar_t* path) { return std::wstring(L"HKLM\\") + path; }

std::string Failed(const std::wstring& what, uint32_t error) {
  return "cannot write " + NarrowUtf8(what) + " (Win32 error " + std::to_string(error) + ")";
}

}  // namespace

std::string InstallGoldenImage(const GoldenImageOptions& options) {
  const std::wstring service = kAgentServiceKey;
  struct Value {
    std::wstring key;
    const wchar_t* name;
    const char* type;
    std::wstring data;
  };
  const auto& golden = DescribePersisted(Persisted::GoldenImage);
  std::vector<Value> values = {
      {service, L"Type", "dword", L"16"},  // SERVICE_WIN32_OWN_PROCESS
      {service, L"Start", "dword", L"2"},  // SERVICE_AUTO_START
      {service, L"ErrorControl", "dword", L"1"},
      {service, L"ImagePath", "expand_sz", kAgentImagePath},
      {service, L"DisplayName", "sz", kAgentDisplayName},
      {LocalMachine(kRegistryKeyPaths[regtype::kSessionManager]), L"BootExecute", "multi_sz", kDefaultBootExecute},
  };
  // Windows' own profile settings, as every installation has them.
  const std::wstring profiles = L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
  values.push_back({profiles, L"ProfilesDirectory", "expand_sz", L"%SystemDrive%\\Users"});
  values.push_back(
      {profiles + L"\\S-1-5-18", L"ProfileImagePath", "expand_sz", L"%systemroot%\\system32\\config\\systemprofile"});
  if (options.goldenImageMarker) {
    values.push_back({LocalMachine(kRegistryKeyPaths[golden.key]), golden.name, "dword", L"1"});
  }
  if (options.shutdownDelayMs) {
    const auto& delay = DescribePersisted(Persisted::ServiceShutdownDelay);
    values.push_back(
        {LocalMachine(kRegistryKeyPaths[delay.key]), delay.name, "dword", std::to_wstring(*options.shutdownDelayMs)});
  }
  // The service key first, so that the key map's own spelling of it does not name the key.
  for (const auto& value : values) {
    uint32_t error = WriteValue(value.key, value.name, value.type, NarrowUtf8(value.data));
    if (error != 0) return Failed(value.key + L"\\" + value.name, error);
  }
  // The installer and Windows make every key the agent opens; the agent only adds values.
  for (const wchar_t* path : kRegistryKeyPaths) {
    uint32_t error = CreateKey(LocalMachine(path));
    if (error != 0) return Failed(LocalMachine(path), error);
  }
  return {};
}

}  // namespace velocyn::sim_cli
