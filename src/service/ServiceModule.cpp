#include "service/ServiceModule.h"

#include <exception>
#include <stdexcept>

#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/System.h"
#include "core/windows/Guest.h"
#include "core/windows/Network.h"
#include "framework/crash/CrashHandler.h"
#include "framework/log/Log.h"
#include "platform/Types.h"
#include "service/Resources.h"
#include "service/TamberGaService.h"

namespace tamber::service {

using common::windows::HResultFromWin32;

namespace {

constexpr uint32_t kProcessDepEnable = 1;

void ServiceMainThunk(uint32_t argc, wchar_t** argv) { CServiceModule::Instance().ServiceMain(argc, argv); }

uint32_t HandlerExThunk(uint32_t control, uint32_t eventType, void* eventData, void* context) {
  return CServiceModule::Instance().HandlerEx(control, eventType, eventData, context);
}

}  // namespace

const char* BuildIdentification() { return "version " VELOCYN_VERSION_TEXT " (source " VELOCYN_SOURCE_REVISION ")"; }

CServiceModule& CServiceModule::Instance() {
  static CServiceModule module;
  return module;
}

void CServiceModule::Init(platform::ModuleHandle instance) {
  instance_ = instance;
  platform::LoadString(instance, IDS_SERVICENAME, serviceName_, kNameLength);
  platform::LoadString(instance, IDS_DISPLAYNAME, displayName_, kNameLength);
  std::lock_guard<std::mutex> guard(statusLock_);
  status_ = platform::ServiceStatus{};
  status_.serviceType = platform::kServiceWin32OwnProcess;
  status_.currentState = platform::kServiceStopped;
  status_.controlsAccepted = kControlsAccepted;
}

bool CServiceModule::Start() {
  if (!platform::StartServiceCtrlDispatcher(serviceName_, &ServiceMainThunk)) {
    Log(LogLevel::Error, L"CServiceModule::Start(): CServiceModule::Start: Failed, 0x%X",
        HResultFromWin32(platform::GetLastError()));
    return false;
  }
  return true;
}

uint32_t CServiceModule::Win32ExitCode() {
  std::lock_guard<std::mutex> guard(statusLock_);
  return status_.win32ExitCode;
}

uint32_t CServiceModule::CurrentState() {
  std::lock_guard<std::mutex> guard(statusLock_);
  return status_.currentState;
}

void CServiceModule::ServiceMain(uint32_t /*argc*/, wchar_t** /*argv*/) {
  CORE::OnFrameworkThreadStart();  // the customization runs on this thread: its faults are reported too
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.currentState = platform::kServiceStartPending;
  }
  // The shutdown event must exist before the handler can take a stop, or the stop would be lost.
  core::util::System::Instance()->Init();
  statusHandle_ = platform::RegisterServiceCtrlHandlerEx(serviceName_, &HandlerExThunk, nullptr);
  if (statusHandle_ == nullptr) {
    Log(LogLevel::Error, L"CServiceModule::ServiceMain(): Handler not installed");
    return;
  }
  EnableProcessDEP();
  SetServiceStatus(platform::kServiceStartPending);
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.win32ExitCode = 0;
    status_.serviceSpecificExitCode = 0;
    status_.checkPoint = 0;
  }
  Run();
  SetServiceStatus(platform::kServiceStopped);
  Log(LogLevel::Debug, L"CServiceModule::ServiceMain(): %ws service stopped %S", displayName_, BuildIdentification());
}

void CServiceModule::SetServiceStatus(uint32_t state) {
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.currentState = state;
    platform::SetServiceStatus(statusHandle_, status_);
  }
  Log(LogLevel::Debug, L"CServiceModule::SetServiceStatus(): Service State Set To: %d", state);
}

void CServiceModule::EnableProcessDEP() {
  platform::ModuleHandle kernel32 = platform::GetModuleHandle(L"Kernel32.dll");
  if (kernel32 == nullptr) {
    Log(LogLevel::Error,
        L"CServiceModule::EnableProcessDEP(): Can not get kernel32 dll handle. Skip enabling process DEP.");
    return;
  }
  Log(LogLevel::Debug, L"CServiceModule::EnableProcessDEP(): Got kernel32 dll handle.");
  using SetProcessDepPolicyFunction = int (*)(uint32_t);
  auto setPolicy =
      reinterpret_cast<SetProcessDepPolicyFunction>(platform::GetProcAddress(kernel32, "SetProcessDEPPolicy"));
  if (setPolicy == nullptr) {
    Log(LogLevel::Error,
        L"CServiceModule::EnableProcessDEP(): Failed to get setting process DEP func. Skip enabling process DEP.");
    return;
  }
  Log(LogLevel::Debug, L"CServiceModule::EnableProcessDEP(): Obtained func for enabling process DEP.");
  try {
    setPolicy(kProcessDepEnable);
    Log(LogLevel::Debug, L"CServiceModule::EnableProcessDEP(): Enabled process DEP.");
  } catch (const std::exception& e) {
    Log(LogLevel::Error,
        L"CServiceModule::EnableProcessDEP(): An exception occured while enabling process DEP. Ignore the error. %ws",
        displayName_);
    Log(LogLevel::Error, L"CServiceModule::EnableProcessDEP(): An exception occured while enabling process DEP: %S",
        e.what());
  } catch (...) {
    Log(LogLevel::Error,
        L"CServiceModule::EnableProcessDEP(): An unknown error occured while enabling process DEP. Ignore the error. %ws",
        displayName_);
  }
}

void CServiceModule::Run() {
  platform::CoInitialize();
  Log(LogLevel::Debug, L"CServiceModule::Run(): %ws service started %S", displayName_, BuildIdentification());
  try {
    SetServiceStatus(platform::kServiceRunning);
    auto service = std::make_shared<CTamberGaService>();
    platform::ServiceStatus status;
    {
      std::lock_guard<std::mutex> guard(serviceLock_);
      service_ = service;
      // A stop that came while there was no service object to tell.
      if (stopRequested_) service->SignalStop();
    }
    service->SetStatusHandle(statusHandle_);
    {
      std::lock_guard<std::mutex> guard(statusLock_);
      status = status_;
    }
    service->RunService(instance_, status);
    std::lock_guard<std::mutex> guard(serviceLock_);
    service_.reset();
  } catch (...) {
    Log(LogLevel::Error, L"CServiceModule::Run(): An unexpected error occured while running the %ws service",
        displayName_);
    std::lock_guard<std::mutex> guard(serviceLock_);
    service_.reset();
  }
  platform::CoUninitialize();
}

void CServiceModule::StopSequence() {
  SetServiceStatus(platform::kServiceStopPending);
  std::lock_guard<std::mutex> guard(serviceLock_);
  if (service_) {
    service_->SignalStop();
  } else {
    // Before the service object exists only the process-wide shutdown event is set; the object picks
    // the stop up when it is made.
    core::util::System::Instance()->SetShutdownEvent();
    stopRequested_ = true;
  }
}

uint32_t CServiceModule::HandlerEx(uint32_t control, uint32_t eventType, void* eventData, void* /*context*/) {
  switch (control) {
    case platform::kServiceControlStop:
      Log(LogLevel::Debug, L"CServiceModule::HandlerEx(): %ws service received stop request %S", displayName_,
          BuildIdentification());
      StopSequence();
      break;
    case platform::kServiceControlShutdown:
      Log(LogLevel::Debug, L"CServiceModule::HandlerEx(): %ws service received shutdown request %S", displayName_,
          BuildIdentification());
      StopSequence();
      break;
    case platform::kServiceControlPreshutdown:
      Log(LogLevel::Debug, L"CServiceModule::HandlerEx(): %ws service received pre-shutdown request %S", displayName_,
          BuildIdentification());
      OnPreShutdown();
      StopSequence();
      break;
    case platform::kServiceControlPause:
    case platform::kServiceControlContinue:
    case platform::kServiceControlInterrogate:
      break;
    case platform::kServiceControlDeviceEvent:
      Log(LogLevel::Debug, L"CServiceModule::HandlerEx(): Windows sent a device change event");
      break;
    case platform::kServiceControlSessionChange: {
      Log(LogLevel::Debug, L"CServiceModule::HandlerEx(): Got a SESSIONCHANGE notification");
      uint32_t sessionId = 0;
      if (eventData != nullptr) sessionId = static_cast<platform::WtsSessionNotification*>(eventData)->sessionId;
      std::shared_ptr<CTamberGaService> service;
      {
        std::lock_guard<std::mutex> guard(serviceLock_);
        service = service_;
      }
      if (service) service->OnSessionChange(eventType, sessionId);
      break;
    }
    default:
      Log(LogLevel::Debug, L"CServiceModule::HandlerEx(): Bad service request");
      break;
  }
  return 0;
}

uint32_t CServiceModule::OnPreShutdown() {
  core::windows::Guest guest;
  if (core::util::MachineType::Instance()->IsClone()) guest.RunPreShutdownRoutine();
  core::windows::Network::Instance()->ReleaseIpOnShutdown();
  core::util::CustomizationPersistentInfo::Instance()->FlushKeys();
  return 0;
}

void CServiceModule::ResetForTest() {
  std::lock_guard<std::mutex> serviceGuard(serviceLock_);
  service_.reset();
  stopRequested_ = false;
  statusHandle_ = nullptr;
  Init(instance_);
}

}  // namespace tamber::service
