// The service shell: the process's one service module. It registers with the service control
// dispatcher, reports the service's states, receives its controls, and owns the service object while
// the service runs.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Module.h"
#include "platform/ServiceHost.h"

namespace tamber::service {

class CTamberGaService;

class CServiceModule {
 public:
  static constexpr int kNameLength = 256;
  static constexpr uint32_t kControlsAccepted =
      platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange | platform::kServiceAcceptPreshutdown;

  // The process's module (a global, as the dispatcher's callbacks have no context of ours).
  static CServiceModule& Instance();

  // Loads the names from the string resources and sets up the status.
  void Init(platform::ModuleHandle instance);
  // Hands the process to the service control dispatcher; returns when the service has stopped.
  bool Start();

  void ServiceMain(uint32_t argc, wchar_t** argv);
  uint32_t HandlerEx(uint32_t control, uint32_t eventType, void* eventData, void* context);
  void SetServiceStatus(uint32_t state);
  void Run();
  void EnableProcessDEP();
  uint32_t OnPreShutdown();

  const wchar_t* ServiceName() const { return serviceName_; }
  const wchar_t* DisplayName() const { return displayName_; }
  uint32_t Win32ExitCode();
  uint32_t CurrentState();

  // Test only: back to the state of a fresh process.
  void ResetForTest();

 private:
  void StopSequence();

  wchar_t serviceName_[kNameLength] = {};
  wchar_t displayName_[kNameLength] = {};
  platform::ModuleHandle instance_ = nullptr;
  platform::ServiceStatusHandle statusHandle_ = nullptr;
  std::mutex statusLock_;
  platform::ServiceStatus status_;
  // Guards the service object pointer between the service thread and the control handler.
  std::mutex serviceLock_;
  std::shared_ptr<CTamberGaService> service_;
  bool stopRequested_ = false;  // a stop that came before the service object existed
};

// The build identification logged with the start and stop lines.
const char* BuildIdentification();

}  // namespace tamber::service
