#include "service/WinMain.h"

#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "framework/log/LogWriter.h"
#include "platform/Registry.h"
#include "service/BuildInfo.h"
#include "service/Privileges.h"
#include "service/ServiceModule.h"

namespace tamber::service {

namespace {
constexpr const wchar_t* kServicesKeyPath = L"SYSTEM\\CurrentControlSet\\Services";
}  // namespace

int wWinMain(platform::ModuleHandle instance) {
  framework::log::SetLogProgramVersion(L"" VELOCYN_VERSION_TEXT);
  auto& module = CServiceModule::Instance();
  module.Init(instance);

  common::windows::UniqueHKey services;
  uint32_t error =
      platform::RegOpenKeyEx(platform::HKeyLocalMachine(), kServicesKeyPath, 0, platform::kKeyRead, services.put());
  if (error != 0) {
    Log(LogLevel::Error, L"wWinMain(): WinMain: Can't open registry: HKLM\\SYSTEM\\CurrentControlSet\\Services");
    return static_cast<int>(error);
  }
  // Only a proof that the service is installed; nothing is read from it.
  common::windows::UniqueHKey serviceKey;
  error = platform::RegOpenKeyEx(services.get(), module.ServiceName(), 0, platform::kKeyRead, serviceKey.put());
  if (error != 0) {
    Log(LogLevel::Error, L"wWinMain(): WinMain: Can't open key: %ws", module.ServiceName());
    return static_cast<int>(error);
  }
  if (!AddPrivilege(L"SeRestorePrivilege")) {
    Log(LogLevel::Error, L"wWinMain(): Failed Enabling SE_RESTORE_NAME");
    return 0;
  }
  if (!AddPrivilege(L"SeBackupPrivilege")) {
    Log(LogLevel::Error, L"wWinMain(): Failed Enabling SE_BACKUP_NAME");
    return 0;
  }
  module.Start();
  return static_cast<int>(module.Win32ExitCode());
}

}  // namespace tamber::service
