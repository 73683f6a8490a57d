// The agent's service object: made once per service start on the service thread. It runs the
// customization driver once, then decides how long the service stays alive, and signals the stop.
#pragma once

#include <cstdint>
#include <memory>

#include "common/dispatcher/Waitable.h"
#include "common/dispatcher/WaitableManager.h"
#include "common/service/Service.h"
#include "core/util/GuestInfo.h"
#include "core/windows/Guest.h"
#include "platform/Module.h"
#include "platform/ServiceHost.h"

namespace tamber::core::util {
class CustomizationFlags;
class CustomizationPersistentInfo;
class MachineType;
class Registry;
class System;
}  // namespace tamber::core::util

namespace tamber::service {

class CTamberGaService {
 public:
  CTamberGaService();
  ~CTamberGaService();
  CTamberGaService(const CTamberGaService&) = delete;
  CTamberGaService& operator=(const CTamberGaService&) = delete;

  bool SetStatusHandle(platform::ServiceStatusHandle handle);
  bool RunService(platform::ModuleHandle instance, platform::ServiceStatus status);
  int32_t StartServiceNotify();
  int32_t LogTOLMAgentVersion();
  void OnSessionChange(uint32_t eventType, uint32_t sessionId);
  void SignalStop();

  // How long the service waits for a stop after customization; kInfinite for "until stopped".
  uint32_t ChooseStopWait(uint32_t shutdownDelayMs);

  static constexpr uint32_t kDefaultShutdownDelayMs = 300000;

 private:
  core::windows::Guest guest_;
  core::util::CustomizationPersistentInfo* persistentInfo_;
  core::util::MachineType* machineType_;
  core::util::GuestInfo guestInfo_;
  core::util::CustomizationFlags* flags_;
  core::util::Registry* registry_;
  bool serviceNotifyEnabled_ = false;
  common::windows::service::OpenScmHandle scm_;
  std::shared_ptr<common::windows::service::Service> netlogon_;
  platform::ModuleHandle instance_ = nullptr;
  platform::ServiceStatusHandle statusHandle_ = nullptr;
  platform::ServiceStatus status_;
  std::shared_ptr<common::dispatcher::EventWrapperWin32> stopEvent_;
  std::shared_ptr<common::dispatcher::WaitableManagerWin32> dispatcher_;
  core::util::System* system_;
};

}  // namespace tamber::service
