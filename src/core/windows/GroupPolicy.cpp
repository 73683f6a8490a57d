#include "core/windows/GroupPolicy.h"

#include <string>

#include "common/util/Util.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Support.h"
#include "core/util/System.h"
#include "core/windows/Time.h"
#include "framework/log/Log.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

using util::Persisted;

namespace {
constexpr const wchar_t* kGpUpdateCommand = L"gpupdate /target:Computer /force";
}  // namespace

GroupPolicy::GroupPolicy()
    : persistentInfo_(util::CustomizationPersistentInfo::Instance()),
      machineType_(util::MachineType::Instance()),
      support_(util::Support::Instance()),
      system_(util::System::Instance()),
      time_(Time::Instance()) {}

GroupPolicy::~GroupPolicy() = default;

bool GroupPolicy::PauseBeforeRetry(uint32_t milliseconds) {
  platform::Handle shutdown = system_->GetShutdownEvent();
  if (shutdown == nullptr) {
    system_->Sleep(milliseconds);
    return true;
  }
  // Minutes of pause must not hold up a stopping agent: the service waits for this worker before it stops.
  Log(LogLevel::Debug, L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): Waiting %dms Before Next Attempt",
      milliseconds);
  if (platform::WaitForSingleObject(shutdown, milliseconds) == platform::kWaitObject0) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): Agent Is Stopping, No Further gpupdate Attempts");
    return false;
  }
  return true;
}

bool GroupPolicy::UpdateGroupPolicy() {
  const bool clone = machineType_->IsClone();
  const bool enabled = clone ? persistentInfo_->Is(Persisted::GPUpdateEnabledOnClone)
                             : machineType_->IsIT() && persistentInfo_->Is(Persisted::GPUpdateEnabledOnIT);
  if (!enabled) {
    Log(LogLevel::Debug, L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): GPUpdate Skipped");
    return true;
  }
  support_->Start(util::Support::Timing::GPUpdate);
  time_->SyncTime();

  const uint32_t attempts = clone ? kCloneAttempts : kOtherAttempts;
  bool result = false;
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (common::util::Util::RunScript(kGpUpdateCommand)) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): Succeeded executing gpupdate command.");
      result = true;
      break;
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): Failed to execute gpupdate command: %ws",
        kGpUpdateCommand);
    // A pause only leads to a next attempt: none after the last one.
    if (attempt + 1 < attempts && attempt < kRetryPausesMs.size() && !PauseBeforeRetry(kRetryPausesMs[attempt])) {
      break;
    }
  }
  uint32_t elapsed = support_->Stop(util::Support::Timing::GPUpdate);
  Log(LogLevel::Debug, L"tamber::core::windows::GroupPolicy::UpdateGroupPolicy(): GPUpdate Total Time: %dms", elapsed);
  return result;
}

}  // namespace tamber::core::windows
