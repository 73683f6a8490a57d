#include "service/TamberGaService.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/windows/Handles.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/System.h"
#include "framework/log/Log.h"
#include "platform/Types.h"

namespace tamber::service {

using common::windows::HResultFromWin32;
using core::util::Persisted;
namespace flag = core::util::flag;

namespace {
constexpr size_t kMaxPath = 260;
constexpr uint32_t kMonitorRestartOnStop = 1;
}  // namespace

CTamberGaService::CTamberGaService()
    : persistentInfo_(core::util::CustomizationPersistentInfo::Instance()),
      machineType_(core::util::MachineType::Instance()),
      flags_(core::util::CustomizationFlags::Instance()),
      registry_(core::util::Registry::Instance()),
      dispatcher_(std::make_shared<common::dispatcher::WaitableManagerWin32>()),
      system_(core::util::System::Instance()) {
  if (!guestInfo_.Log("Windows guest customization starts.")) {
    Log(LogLevel::Error, L"CTamberGaService::CTamberGaService(): Failed logging start of customization message.");
  }
  stopEvent_ = std::make_shared<common::dispatcher::EventWrapperWin32>(L"KtiServiceStopEvent", /*manualReset=*/true,
                                                                       /*initialState=*/false);
  Log(LogLevel::Debug, L"CTamberGaService::CTamberGaService(): Initialized Velocyn Service");
}

CTamberGaService::~CTamberGaService() = default;

bool CTamberGaService::SetStatusHandle(platform::ServiceStatusHandle handle) {
  statusHandle_ = handle;
  return true;
}

uint32_t CTamberGaService::ChooseStopWait(uint32_t shutdownDelayMs) {
  if (!machineType_->IsClone()) return shutdownDelayMs;
  if (guest_.IsPreShutdownScriptReady()) return platform::kInfinite;
  if (!guest_.IsPersistentDisksReady()) {
    return flags_->IsFlagSet(flag::kSysprepDomainJoin) ? platform::kInfinite : shutdownDelayMs;
  }
  return platform::kInfinite;
}

bool CTamberGaService::RunService(platform::ModuleHandle instance, platform::ServiceStatus status) {
  instance_ = instance;
  status_ = status;
  system_->Init();
  LogTOLMAgentVersion();
  uint32_t shutdownDelay = persistentInfo_->Get(Persisted::ServiceShutdownDelay, kDefaultShutdownDelayMs);
  Log(LogLevel::Debug, L"CTamberGaService::RunService(): Service Shutdown Delay: %dms", shutdownDelay);
  StartServiceNotify();

  guest_.CustomizeVM();

  instance_ = instance;
  status_ = status;
  if (netlogon_) netlogon_->SetMonitorFlags(kMonitorRestartOnStop);

  uint32_t wait = ChooseStopWait(shutdownDelay);
  if (wait == platform::kInfinite) {
    stopEvent_->Wait();
  } else {
    stopEvent_->Wait(wait);
  }

  if (netlogon_) {
    Log(LogLevel::Info, L"CTamberGaService::RunService(): Service is Preparing to Stop");
    int32_t result = netlogon_->StopServiceNotify();
    Log(LogLevel::Debug, L"CTamberGaService::RunService(): StopServiceNotify Returned: 0x%X", result);
  }
  Log(LogLevel::Info, L"CTamberGaService::RunService(): Service is stopping.");
  return true;
}

int32_t CTamberGaService::StartServiceNotify() {
  if (!machineType_->IsClone()) return 0;
  Log(LogLevel::Debug, L"CTamberGaService::StartServiceNotify(): MachineType Is Clone");
  serviceNotifyEnabled_ = persistentInfo_->IsValue(Persisted::ServiceNotifyEnabled, 1);
  if (!serviceNotifyEnabled_) {
    Log(LogLevel::Debug, L"CTamberGaService::StartServiceNotify(): Service Notification Disabled");
    return 0;
  }
  netlogon_ = scm_.GetService(L"netlogon");
  int32_t result = netlogon_ ? netlogon_->StartServiceNotify() : common::windows::kEFail;
  if (result < 0) {
    Log(LogLevel::Warn, L"CTamberGaService::StartServiceNotify(): StartServiceNotify Failed: (netlogon): 0x%X", result);
  } else {
    Log(LogLevel::Debug, L"CTamberGaService::StartServiceNotify(): Started Service Notify (netlogon)");
  }
  return result;
}

int32_t CTamberGaService::LogTOLMAgentVersion() {
  std::wstring imagePath;
  int32_t result = registry_->GetValue(L"ImagePath", &imagePath, core::util::regtype::kService);
  if (result < 0) {
    Log(LogLevel::Error, L"CTamberGaService::LogTOLMAgentVersion(): GetValue Failed: 0x%X", result);
    return result;
  }
  Log(LogLevel::Debug, L"CTamberGaService::LogTOLMAgentVersion(): ImagePath: %ws", imagePath);

  // The path without its quotes, cut to the path buffer the version calls take.
  std::wstring path;
  for (wchar_t c : imagePath) {
    if (c != L'"' && path.size() < kMaxPath - 1) path.push_back(c);
  }

  uint32_t size = platform::GetFileVersionInfoSize(path.c_str());
  if (size == 0) {
    result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Error, L"CTamberGaService::LogTOLMAgentVersion(): GetFileVersionInfoSize Failed: 0x%X", result);
    return result;
  }
  std::vector<uint8_t> block(size, 0);
  if (!platform::GetFileVersionInfo(path.c_str(), size, block.data())) {
    result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Error, L"CTamberGaService::LogTOLMAgentVersion(): GetFileVersionInfo Failed: 0x%X", result);
    return result;
  }
  void* value = nullptr;
  uint32_t length = 0;
  if (!platform::VerQueryValue(block.data(), L"\\", &value, &length) || value == nullptr ||
      length < sizeof(platform::FixedFileInfo)) {
    result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Error, L"CTamberGaService::LogTOLMAgentVersion(): VerQueryValue Failed: 0x%X", result);
    return result;
  }
  platform::FixedFileInfo info;
  std::memcpy(&info, value, sizeof(info));
  Log(LogLevel::Debug, L"CTamberGaService::LogTOLMAgentVersion(): Velocyn Agent Product Version: %d.%d.%d.%d",
      info.productVersionMS >> 16, info.productVersionMS & 0xFFFF, info.productVersionLS >> 16,
      info.productVersionLS & 0xFFFF);
  return 0;
}

void CTamberGaService::OnSessionChange(uint32_t eventType, uint32_t /*sessionId*/) {
  if (eventType == platform::kWtsSessionLogon) {
    Log(LogLevel::Debug, L"CTamberGaService::OnSessionChange(): User Logon.");
  } else if (eventType == platform::kWtsSessionLogoff) {
    Log(LogLevel::Debug, L"CTamberGaService::OnSessionChange(): User Logoff.");
  }
}

void CTamberGaService::SignalStop() {
  system_->SetShutdownEvent();
  stopEvent_->SetEvent();
}

}  // namespace tamber::service
