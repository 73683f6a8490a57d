// The customization driver: once per service start it decides what this machine must do, picks the
// customization flavour, and runs the role's customization on it. It also answers the service's
// questions at pre-shutdown and about how long to stay running.
#pragma once

#include <memory>
#include <mutex>

#include "core/util/GuestInfo.h"
#include "core/windows/Customization.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
class CustomizationType;
class MachineType;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Netlogon;
class Network;

class Guest {
 public:
  Guest();
  virtual ~Guest();
  Guest(const Guest&) = delete;
  Guest& operator=(const Guest&) = delete;

  // Runs this start's customization. A flavour passed in is used instead of a new one.
  virtual bool CustomizeVM(std::shared_ptr<Customization> flavour = nullptr);

  // The pre-shutdown routine of the current flavour (the service calls it on a clone only).
  bool RunPreShutdownRoutine();
  // A pre-shutdown script is configured and secured: the service must stay up until pre-shutdown.
  bool IsPreShutdownScriptReady();
  // The persistent disks are prepared ("PersistentDisksReady" = 1).
  bool IsPersistentDisksReady();

  // The current flavour: a plain Customization until a type is chosen.
  std::shared_ptr<Customization> GetCustomization();

 private:
  void SetCustomization(std::shared_ptr<Customization> flavour);

  util::CustomizationType* type_;
  util::CustomizationPersistentInfo* persistentInfo_;
  util::MachineType* machineType_;
  util::GuestInfo guestInfo_;
  Netlogon* netlogon_;
  Network* network_;

  std::mutex flavourLock_;  // the service's control handler thread may ask while the driver runs
  std::shared_ptr<Customization> customization_;
};

}  // namespace tamber::core::windows
