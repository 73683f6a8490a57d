// The flavour of golden images: the sibling desktop agent's helper does the sysprep work. On the internal
// template the helper generalizes the machine and its interception command takes the place of setup's
// own command, so that the helper runs at each clone's specialize pass. On the clone the agent waits for
// the out-of-box experience, publishes the domain controller and site, hands over to the helper
// ("PrepClone", then "WaitForCheckpointing"), starts the sibling agent's service and reports
// "snapshotting"; after the hypervisor's snapshot it completes by the operation type that the sibling
// agent reports. Guest variables live in their registry mirror on these machines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/util/Registry.h"
#include "core/windows/Customization.h"

namespace tamber::core::util {
class AgentHelperWrapper;
}  // namespace tamber::core::util

namespace tamber::core::windows {

// What the sibling agent's helper and service are to setup and to this flavour.
namespace universalprep {
inline constexpr const wchar_t* kUseKtqValue = L"Use KTQ";
inline constexpr const wchar_t* kImageStateValue = L"ImageState";
inline constexpr const wchar_t* kCmdLineValue = L"CmdLine";
inline constexpr const wchar_t* kImageStateGeneralized = L"IMAGE_STATE_GENERALIZE_RESEAL_TO_OOBE";
inline constexpr const wchar_t* kImageStateComplete = L"IMAGE_STATE_COMPLETE";
// Setup's own command after generalize: the deployment step of the next boot.
inline constexpr const wchar_t* kSetupDeployCommand = L"oobe\\windeploy.exe";
inline constexpr const wchar_t* kSiblingService = L"kdnm";
inline constexpr const wchar_t* kPrepCloneHint = L"PrepClone";
inline constexpr const wchar_t* kWaitForCheckpointingStep = L"WaitForCheckpointing";
// The operation types the sibling agent writes after the snapshot.
inline constexpr const wchar_t* kNewClone = L"NEW_CLONE";
inline constexpr const wchar_t* kRefreshClone = L"REFRESH_CLONE";
inline constexpr const wchar_t* kResyncClone = L"RESYNC_CLONE";
// How long a clone waits for the sibling agent to write its operation type after the snapshot.
constexpr uint32_t kOperationTypeWaitMs = 300000;
}  // namespace universalprep

class Universalprep : public Customization {
 public:
  // helper: the link to the sibling agent's helper (the process-wide one when null).
  explicit Universalprep(util::AgentHelperWrapper* helper = nullptr);
  ~Universalprep() override;

  // The golden image's check: the sibling agent's node manager must not use KTQ yet.
  bool CustomizeMaster() override;
  bool CustomizeIT() override;
  bool CustomizeClone() override;

  // Whether "Use KTQ" reads as expected; a miss is a warning only.
  virtual bool VerifyUseKTQ(uint32_t expected);
  virtual bool WaitForSysprep();
  virtual bool WaitForGeneralize();
  virtual bool WaitForOobe();
  virtual bool CustomizeClonePreShutdown();
  virtual bool CustomizeClonePostShutdown();
  virtual bool CustomizeClonePostSnapshot();

 private:
  // The first starts of the clone: sysprep's end, the domain controller and site, the helper, the
  // sibling service, "snapshotting".
  bool PrepareCloneForSnapshot();
  // The start after the snapshot: the operation type, its branch, the completion.
  bool CompleteCloneAfterSnapshot();
  // The operation type, waited for while the sibling agent has not written it yet.
  std::wstring ReadOperationType();
  // Waits until done() holds after a change under the key of type, the time-out passes or the service
  // stops; true only when done() holds. done() is asked once before the first wait.
  bool WaitForRegistryCondition(util::RegistryType type, const std::function<bool()>& done, uint32_t timeoutMs);
  // Whether setup has gone beyond generalize; waits while setup's specialize pass may still be on its way
  // to the helper.
  bool HasLeftGeneralize();
  // Reads the published domain controller and site back from their guest variables.
  bool ReadPublishedDcAndSite(std::wstring* controller, std::wstring* site);
  // Sets a service to start automatically and starts it; the four texts are the logged outcomes.
  bool EnableAndStartService(const wchar_t* name, const wchar_t* enabled, const wchar_t* enableFailed,
                             const wchar_t* started, const wchar_t* startFailed);
  // A shutdown or reboot the completion has asked for is still ahead.
  bool CompletionDeferredByPowerRequest();

  util::AgentHelperWrapper* helper_;
};

}  // namespace tamber::core::windows
