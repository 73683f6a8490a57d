// The common base of the customization flavours: the role dispatch, and the decisions every flavour
// shares: whether a clone may be customized at all, whether its customization may be completed, when a
// required shutdown or reboot is requested and when it counts as done, and keeping the boot-time agent
// registered in the session manager's BootExecute list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/util/GuestInfo.h"
#include "core/windows/AgentIntegration.h"
#include "core/windows/DomainJoin.h"
#include "core/windows/GroupPolicy.h"
#include "core/windows/Script.h"

namespace tamber::core::util {
class CustomizationFlags;
class CustomizationPersistentInfo;
class CustomizationState;
class CustomizationType;
class MachineType;
class Registry;
class Support;
class System;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Network;

// The session manager's list of native programs run at boot (REG_MULTI_SZ, key type 4), and the entry
// of the boot-time agent in it.
inline constexpr const wchar_t* kBootExecuteValue = L"BootExecute";
inline constexpr const wchar_t* kNgaBootExecuteEntry = L"System32\\talvora-qx-nga.exe";

class Customization {
 public:
  Customization();
  // Waits a short while for the completion worker, never longer: the worker owns what it uses, so it
  // may outlive the flavour, and a stop must not sit in STOP_PENDING behind a group policy refresh.
  virtual ~Customization();
  Customization(const Customization&) = delete;
  Customization& operator=(const Customization&) = delete;

  // Role dispatch on the machine type.
  virtual bool CustomizeVM();
  // The golden image's customization: keeping the boot-time agent registered.
  virtual bool CustomizeMaster();
  // From the clone's status as the boot-time agent left it.
  virtual bool OkToCustomizeClone();
  // Completes the clone's customization, or requests the shutdown or reboot the flags still require.
  virtual bool CompleteCustomization();
  // Marks a shutdown or reboot that the agent itself requested as completed; true when this start
  // follows one.
  virtual bool CheckCustomizationFlagsForReboot();
  // The role operations belong to the flavours; here they log and fail.
  virtual bool CustomizeIT();
  virtual bool CustomizeParent();
  virtual bool CustomizeReplica();
  virtual bool CustomizeClone();
  virtual bool OkToCompleteCustomization();
  // Requests the shutdown or reboot that the flags require and that has not happened; always true.
  virtual bool ProcessShutdownOrReboot();
  virtual bool VerifyNGAConfig();
  // Writes BootExecute anew: every entry longer than one character, in order, then the boot-time agent's
  // entry last.
  virtual bool UpdateBootExecute(const std::vector<std::wstring>& entries);

  // On a clone's pre-shutdown, on the service control handler thread.
  bool RunPreShutdownRoutine();
  // A pre-shutdown script is configured and secured.
  bool IsPreShutdownScriptReady();
  bool PreparePersistentDisks();

  // Waits up to timeoutMs (machine time) for the completion worker, if one was started; true when it has
  // finished (or none runs).
  bool WaitForCompletionWorker(uint32_t timeoutMs);
  // How long the flavour's end waits for the worker.
  static constexpr uint32_t kCompletionWorkerStopWaitMs = 3000;

 protected:
  // What the completion worker runs. It may outlive this object, so it must own (share) everything it
  // uses and never reach back into the flavour; the default is the group policy refresh and the
  // logging of the user principal name.
  void SetCompletionWork(std::function<void()> work);

  util::CustomizationPersistentInfo* persistentInfo_;
  util::MachineType* machineType_;
  util::Support* support_;
  util::CustomizationFlags* flags_;
  util::System* system_;
  util::CustomizationState* state_;
  util::CustomizationType* type_;
  Network* network_;
  util::Registry* registry_;
  util::GuestInfo guestInfo_;
  std::shared_ptr<GroupPolicy> groupPolicy_;  // shared with the completion worker, which may outlive this
  std::shared_ptr<DomainJoin> domainJoin_;    // likewise
  std::shared_ptr<AgentIntegration> agentIntegration_;
  std::shared_ptr<Script> script_;
  // PersistentDisks and RenewIp join these members when their steps land.

 private:
  void StartCompletionWorker();
  // Static: the worker may outlive the flavour, so it runs on what it was given.
  static void RunCompletionSteps(const std::shared_ptr<GroupPolicy>& groupPolicy,
                                 const std::shared_ptr<DomainJoin>& domainJoin);
  bool RunPostCustomizationScript();
  bool RunPreShutdownScript();

  std::mutex workerLock_;
  std::function<void()> completionWork_;
  // Set by the worker when its work is done; shared with the worker, which may outlive this object.
  std::shared_ptr<void> completionDone_;
};

}  // namespace tamber::core::windows
