#include "core/util/System.h"

#include "common/service/Service.h"
#include "common/windows/Handles.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Power.h"
#include "platform/Services.h"
#include "platform/Sync.h"

namespace tamber::core::util {

using common::windows::HResultFromWin32;
using common::windows::kEInvalidArg;

namespace {

// SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM | SHTDN_REASON_MINOR_INSTALLATION
constexpr uint32_t kShutdownReason = 0x80020002;
constexpr int32_t kShutdownInProgressResult = static_cast<int32_t>(0x8007045Bu);

}  // namespace

System::~System() {
  std::lock_guard<std::mutex> guard(eventLock_);
  if (shutdownEvent_ == nullptr) return;
  // The same messages as SetShutdownEvent: whoever still waits learns that the agent is going.
  if (platform::SetEvent(shutdownEvent_)) {
    Log(LogLevel::Debug, L"tamber::core::util::System::SetShutdownEvent(): Shutdown Event Set");
  } else {
    Log(LogLevel::Error, L"tamber::core::util::System::SetShutdownEvent(): Failed Setting Shutdown Event: 0x%X",
        HResultFromWin32(platform::GetLastError()));
  }
  platform::CloseHandle(shutdownEvent_);
  shutdownEvent_ = nullptr;
}

int32_t System::Init() {
  std::lock_guard<std::mutex> guard(eventLock_);
  if (shutdownEvent_ != nullptr) return 0;
  // A stop that came before the event existed is not lost: the event starts out set.
  shutdownEvent_ = platform::CreateEvent(/*manualReset=*/true, /*initialState=*/stopBeforeInit_, nullptr);
  if (shutdownEvent_ == nullptr) {
    int32_t result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Error, L"tamber::core::util::System::Init(): Failed Creating Shutdown Event: 0x%X", result);
    return result;
  }
  return 0;
}

platform::Handle System::GetShutdownEvent() {
  std::lock_guard<std::mutex> guard(eventLock_);
  return shutdownEvent_;
}

bool System::IsShutdownEventSet() {
  std::lock_guard<std::mutex> guard(eventLock_);
  return shutdownEvent_ != nullptr && platform::WaitForSingleObject(shutdownEvent_, 0) == platform::kWaitObject0;
}

int32_t System::SetShutdownEvent() {
  std::lock_guard<std::mutex> guard(eventLock_);
  if (shutdownEvent_ == nullptr) {
    Log(LogLevel::Error, L"tamber::core::util::System::SetShutdownEvent(): Shutdown Event Was NULL");
    stopBeforeInit_ = true;
    return kEInvalidArg;
  }
  if (!platform::SetEvent(shutdownEvent_)) {
    int32_t result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Error, L"tamber::core::util::System::SetShutdownEvent(): Failed Setting Shutdown Event: 0x%X",
        result);
    return result;
  }
  Log(LogLevel::Debug, L"tamber::core::util::System::SetShutdownEvent(): Shutdown Event Set");
  return 0;
}

void System::Sleep(uint32_t milliseconds) {
  Log(LogLevel::Debug, L"tamber::core::util::System::Sleep(): Sleeping for %dms", milliseconds);
  platform::Sleep(milliseconds);
}

int32_t System::AdjustProcessPrivilegeForExecReboot() {
  platform::Handle token = nullptr;
  if (!platform::OpenProcessToken(platform::kTokenAdjustPrivileges | platform::kTokenQuery, &token)) {
    int32_t result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Error,
        L"tamber::core::util::System::AdjustProcessPrivilegeForExecReboot(): Failed Opening Process Token: 0x%X",
        result);
    return result;
  }
  common::windows::UniqueHandle owner(token);
  platform::Luid luid;
  if (!platform::LookupPrivilegeValue(nullptr, L"SeShutdownPrivilege", &luid) ||
      !platform::AdjustTokenPrivilege(token, luid, platform::kSePrivilegeEnabled)) {
    int32_t result = HResultFromWin32(platform::GetLastError());
    Log(LogLevel::Debug,
        L"tamber::core::util::System::AdjustProcessPrivilegeForExecReboot(): Could not adjust token privileges: 0x%X",
        result);
    return result;
  }
  return 0;
}

int32_t System::RequestShutdown(uint32_t delayMs, bool reboot) {
  AdjustProcessPrivilegeForExecReboot();  // a refusal shows in the request's own result
  if (reboot) {
    Log(LogLevel::Debug, L"tamber::core::util::System::Reboot(): Initiating a reboot.");
  } else {
    Log(LogLevel::Debug, L"tamber::core::util::System::Shutdown(): Initiating a shutdown.");
  }
  if (platform::InitiateSystemShutdownEx(nullptr, nullptr, /*timeoutSeconds=*/0, /*forceAppsClosed=*/true,
                                         /*rebootAfterShutdown=*/reboot, kShutdownReason)) {
    // The caller must not run on while the system goes down.
    if (delayMs != 0) Sleep(delayMs);
    return 0;
  }
  int32_t result = HResultFromWin32(platform::GetLastError());
  if (result == kShutdownInProgressResult) {
    if (reboot) {
      Log(LogLevel::Warn, L"tamber::core::util::System::Reboot(): Shutdown Already In Progress: 0x%X", result);
    } else {
      Log(LogLevel::Warn, L"tamber::core::util::System::Shutdown(): Shutdown Already In Progress: 0x%X", result);
    }
  } else if (reboot) {
    Log(LogLevel::Error, L"tamber::core::util::System::Reboot(): Could not reboot the clone: 0x%X", result);
  } else {
    Log(LogLevel::Error, L"tamber::core::util::System::Shutdown(): Could not shutdown the clone: 0x%X", result);
  }
  return result;
}

int32_t System::Reboot(uint32_t delayMs) { return RequestShutdown(delayMs, /*reboot=*/true); }

int32_t System::Shutdown(uint32_t delayMs) { return RequestShutdown(delayMs, /*reboot=*/false); }

int32_t System::ControlSvc(const std::wstring& name, uint32_t flag, uint32_t* startType, int32_t maxRetries,
                           int32_t retryDelay) {
  common::windows::service::OpenScmHandle scm;
  auto service = scm.GetService(name);
  int32_t result = 0;
  switch (flag) {
    case kControlStart:
      result = service->Start(maxRetries, retryDelay);
      if (result < 0) {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Failed Starting %ws, Error: 0x%X", name,
            result);
      }
      break;
    case kControlStop:
      result = service->Stop(maxRetries, retryDelay);
      if (result < 0) {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Failed Stopping %ws, Error: 0x%X", name,
            result);
      } else {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Stopped %ws", name);
      }
      break;
    case kControlRestart:
      result = service->Restart(maxRetries, retryDelay);
      if (result < 0) {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Failed Restarting %ws, Error: 0x%X", name,
            result);
      }
      break;
    case kControlSetStartType:
      result = startType != nullptr ? service->SetStartType(*startType) : kEInvalidArg;
      if (result < 0) {
        Log(LogLevel::Debug,
            L"tamber::core::util::System::ControlSvc(): Failed Setting Start Type: Service: %ws, Start Type: %d, Error: 0x%X",
            name, startType != nullptr ? *startType : 0u, result);
      } else {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Set Start Type: Service: %ws, Start Type: %d",
            name, *startType);
      }
      break;
    case kControlQueryStatus: {
      platform::ServiceStatus status;
      result = service->QueryStatus(&status);
      if (result < 0) {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Failed Querying Service Status: %ws, 0x%X",
            name, result);
      } else {
        Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Queried Service Status For Service: %ws",
            name);
        if (startType != nullptr) *startType = status.currentState;
        if (status.currentState == platform::kServiceRunning) {
          Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): %ws Is Running", name);
        } else {
          Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): %ws Is Not Running", name);
        }
      }
      break;
    }
    default:
      Log(LogLevel::Debug, L"tamber::core::util::System::ControlSvc(): Unkwnown Control Flag: 0x%X", flag);
      break;
  }
  return result;
}

}  // namespace tamber::core::util
