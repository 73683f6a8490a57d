#include "core/windows/Universalprep.h"

#include <array>

#include "common/util/DomainServices.h"
#include "common/util/StringConverter.h"
#include "common/windows/Handles.h"
#include "core/util/AgentHelperWrapper.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/util/System.h"
#include "core/util/Tunables.h"
#include "core/windows/AgentIntegration.h"
#include "core/windows/Network.h"
#include "core/windows/Script.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Services.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

using common::i18n::StringConverter;
using common::windows::HResultFromWin32;
using common::windows::kEFail;
using common::windows::UniqueHandle;
using util::Persisted;
using util::Support;
using util::System;
using util::Tunable;
using Timing = util::Support::Timing;
namespace up = universalprep;
namespace flag = util::flag;

namespace {

constexpr uint32_t kErrorPersistentDisks = 14;
constexpr uint32_t kErrorSysprep = 17;
constexpr uint32_t kErrorSysprepDescription = 30;
constexpr uint32_t kTemplateCustomizationDone = 2;
constexpr uint32_t kSiblingPostCheckpointing = 3;

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }

}  // namespace

Universalprep::Universalprep(util::AgentHelperWrapper* helper)
    : helper_(helper != nullptr ? helper : util::AgentHelperWrapper::Instance()) {}

Universalprep::~Universalprep() = default;

// ---- golden image -------------------------------------------------------------------------------

bool Universalprep::VerifyUseKTQ(uint32_t expected) {
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::VerifyUseKTQ(): VerifyUseKTQ started. 'Use KTQ' is expected to be: %d",
      expected);
  uint32_t actual = 0;
  const int32_t result = registry_->GetValue(up::kUseKtqValue, nullptr, &actual, util::regtype::kNodeManager);
  if (result != 0) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::VerifyUseKTQ(): Failed reading 'Use KTQ': 0x%X",
        Hex(result));
    return false;
  }
  if (actual != expected) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::VerifyUseKTQ(): 'Use KTQ' is NOT set to expected value. Actual value is: %d",
        actual);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::VerifyUseKTQ(): VerifyUseKTQ finished successfully");
  return true;
}

bool Universalprep::CustomizeMaster() { return VerifyUseKTQ(0); }

// ---- internal template --------------------------------------------------------------------------

bool Universalprep::CustomizeIT() {
  if (persistentInfo_->IsValue(Persisted::TemplateCustomization, kTemplateCustomizationDone)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeIT(): Template Customization Already Complete, Nothing To Do");
    return true;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeIT(): Template: Performing customization.");
  if (!persistentInfo_->Is(Persisted::ITCustomizationStartTimeSet)) {
    support_->SaveTickCount(Support::kRebootTickCount);
    persistentInfo_->Set(Persisted::ITCustomizationStartTimeSet);
  }
  state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);

  if (!helper_->LaunchTemplateHelper()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeIT(): Failed to launch agent helper in service mode for internal template");
    return false;
  }
  std::wstring poolId;
  if (persistentInfo_->GetText(Persisted::PoolID, &poolId) == 0 && !poolId.empty()) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeIT(): PoolID was successfully set by the helper tool");
  } else {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeIT(): PoolID was not set by the helper tool, or there was latency");
  }

  if (!helper_->SysprepGeneralize()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeIT(): Failed to run sysprep generalize in the blocking process");
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeIT(): Sysprep generalization finished successfully in the blocking process");
  if (!WaitForGeneralize()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeIT(): Sysprep generalization registry flush failed to update ImageState and/or CmdLine");
  } else {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeIT(): Sysprep generalization registry flush succeeded updating ImageState and CmdLine");
  }

  persistentInfo_->Set(Persisted::CloneSysprepGeneralizeCompleted);
  // Without the interception the clones' specialize pass would run setup's own command and never reach
  // the helper; such a template must not be handed over for cloning.
  const std::wstring interception = helper_->GetInterceptionString();
  const int32_t written =
      interception.empty() ? kEFail : registry_->SetValue(up::kCmdLineValue, interception, util::regtype::kSystemSetup);
  if (written != 0) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeIT(): Failed to set interception string: 0x%X",
        Hex(written));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeIT(): Interception string was set as: %ws",
      interception);

  if (!network_->ReleaseIpOnShutdown()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeIT(): Failed to set IP address to be released on shutdown");
  }
  persistentInfo_->Set(Persisted::CloneShutdown);
  persistentInfo_->Set(Persisted::TemplateCustomization, kTemplateCustomizationDone);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeIT(): Template: Marked Template Customization Done");
  state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);

  persistentInfo_->Set(Persisted::TemplateShutdownNeeded, 0);
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeIT(): Template: Marked Template Shutdown Done");
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeIT(): Total IT Customization Time: %d seconds",
      support_->GetTotalITCustomizationTime() / 1000);
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeIT(): Template: About To Shutdown");
  persistentInfo_->FlushKeys();  // the interception and the markers must be on disk before the clones fork
  system_->Shutdown(0);
  return true;
}

bool Universalprep::WaitForGeneralize() {
  // sysprep has returned when this runs: what is left is its registry writes reaching the hive, so the
  // waits read at once and then poll.
  const uint32_t limit = util::Tunables(registry_).Get(Tunable::SysprepMaxWaitTime,
                                                       util::TunableContext{false, util::SysprepPhase::Generalize});
  if (registry_->WaitForStringValue(up::kImageStateValue, up::kImageStateGeneralized, limit,
                                    util::regtype::kSetupState) != 0) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::WaitForGeneralize(): Failed to wait for generalize/ImageState regkey to be flushed");
    return false;
  }
  if (registry_->WaitForStringValue(up::kCmdLineValue, up::kSetupDeployCommand, limit, util::regtype::kSystemSetup) !=
      0) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::WaitForGeneralize(): Failed to wait for generalize/CmdLine regkey to be flushed");
    return false;
  }
  return true;
}

// ---- clone --------------------------------------------------------------------------------------

bool Universalprep::CustomizeClone() {
  if (persistentInfo_->Is(Persisted::CloneCustomizationCompleted)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Clone LCM indicator: User Reboot");
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeClone(): A user/hypervisor/os/broker reboot without involving reconfig. No op");
    return true;
  }
  VerifyUseKTQ(1);
  if (persistentInfo_->Is(Persisted::CloneShutdown)) return PrepareCloneForSnapshot();
  return CompleteCloneAfterSnapshot();
}

bool Universalprep::PrepareCloneForSnapshot() {
  support_->Start(Timing::TotalCustomization);
  if (!WaitForSysprep()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): Sysprep Customization Failed");
    state_->SetCustomizationState(util::status::kError, kErrorSysprep, "Sysprep",
                                  StringConverter::ToUtf8String(state_->GetDescription(kErrorSysprepDescription)), 0);
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Total Clone Sysprep Customization Time: %dms",
        support_->Elapsed(Timing::TotalCustomization));
    return false;
  }
  if (system_->IsShutdownEventSet()) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Clone LCM indicator: Specialize");
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Shutdown Event Set, Exiting");
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Clone LCM indicator: Post Specialize");
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Starting desktop customization");

  std::wstring host;
  std::wstring domain;
  domainJoin_->GetHostName(&host);
  domainJoin_->GetDomainName(&domain);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClone(): Clone's machine fqdn retrieved: %ws\\%ws", host,
      domain);

  common::util::DomainServices directory;
  if (!domainJoin_->SetPreferredDC(directory.GetCurrentDC(domain))) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to set preferred DC");
    return false;
  }
  if (!domainJoin_->SetPreferredSite(directory.GetCurrentSite())) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to set preferred site");
    return false;
  }
  std::wstring controller;
  std::wstring site;
  if (!ReadPublishedDcAndSite(&controller, &site)) return false;
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClone(): Ad server name (without leading domain): %ws, site (without leading domain): %ws",
      controller, site);

  if (!helper_->LaunchCloneHelper(up::kPrepCloneHint, controller, site, up::kWaitForCheckpointingStep)) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to launch agent helper in service mode for clone");
    return false;
  }
  // The helper has done its part; it is not left on the clone.
  const std::string helperPath = StringConverter::ToUtf8String(util::helper::kHelperPath);
  if (platform::DeleteFile(util::helper::kHelperPath)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Successfully removed agent helper: %S", helperPath);
  } else {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to remove agent helper: %S, Error code: 0x%X",
        helperPath, HResultFromWin32(platform::GetLastError()));
  }
  EnableAndStartService(
      up::kSiblingService, L"tamber::core::windows::Universalprep::CustomizeClone(): Enabled Quorvel Agent service",
      L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to enable Quorvel Agent service: 0x%X",
      L"tamber::core::windows::Universalprep::CustomizeClone(): Started Quorvel Agent service",
      L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to start Quorvel Agent service: 0x%X");

  if (!CustomizeClonePreShutdown()) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): CustomizeClonePreShutdown failed");
    return false;
  }
  return true;
}

bool Universalprep::ReadPublishedDcAndSite(std::wstring* controller, std::wstring* site) {
  if (!guestInfo_.GetValue(DomainJoin::kPreferredDcVariable, controller) || controller->empty()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to get preferred DC");
    return false;
  }
  if (!guestInfo_.GetValue(DomainJoin::kPreferredSiteVariable, site) || site->empty()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): Failed to get preferred site");
    return false;
  }
  return true;
}

bool Universalprep::EnableAndStartService(const wchar_t* name, const wchar_t* enabled, const wchar_t* enableFailed,
                                          const wchar_t* started, const wchar_t* startFailed) {
  uint32_t automatic = platform::kServiceAutoStart;
  int32_t result = system_->ControlSvc(name, System::kControlSetStartType, &automatic);
  const bool enabledOk = result >= 0;
  if (enabledOk) {
    Log(LogLevel::Debug, enabled);
  } else {
    Log(LogLevel::Warn, enableFailed, Hex(result));
  }
  result = system_->ControlSvc(name, System::kControlStart);
  if (result >= 0) {
    Log(LogLevel::Debug, started);
    return enabledOk;
  }
  Log(LogLevel::Warn, startFailed, Hex(result));
  return false;
}

bool Universalprep::WaitForSysprep() {
  if (persistentInfo_->Is(Persisted::CloneSysprepCompleted)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::WaitForSysprep(): Sysprep Customization Already Completed");
    return true;
  }
  support_->Start(Timing::TotalSysprep);
  util::NotifyHaldenAgent().MarkCustomizationInProgress();
  if (!persistentInfo_->Is(Persisted::CloneSysprepGeneralizeCompleted)) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::WaitForSysprep(): Sysprep generalize should be completed before clone can be forked");
    return false;
  }
  if (!persistentInfo_->Is(Persisted::CloneSysprepSpecializeCompleted)) {
    const bool left = HasLeftGeneralize();
    if (!left && system_->IsShutdownEventSet()) return true;  // the service is stopping: the next start looks
    if (!left) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Universalprep::WaitForSysprep(): Agent helper pre-specialize errored out. Clone is still in pre-specialization state");
      return false;
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::WaitForSysprep(): Agent helper pre-specialize finished correctly. Specialization should have finished");
    persistentInfo_->Set(Persisted::CloneSysprepSpecializeCompleted);
  }
  if (!persistentInfo_->Is(Persisted::CloneSysprepOobeCompleted)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::WaitForSysprep(): Waiting For Universalprep OOBE");
    state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
    if (!WaitForOobe()) {
      Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::WaitForSysprep(): Failed Waiting For OOBE");
      return false;
    }
    // A wait that the service's stop ended has not seen the out-of-box experience finish.
    if (!system_->IsShutdownEventSet()) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Universalprep::WaitForSysprep(): Universalprep Time at end of OOBE: %dms",
          platform::GetTickCount());
      persistentInfo_->Set(Persisted::CloneSysprepOobeCompleted);
      persistentInfo_->Set(Persisted::CloneSysprepCompleted);
    }
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::WaitForSysprep(): Total Clone Sysprep Customization Time: %d seconds",
      support_->Elapsed(Timing::TotalSysprep) / 1000);
  return true;
}

bool Universalprep::WaitForOobe() {
  // The change notification only reports later writes: an out-of-box experience that finished before
  // the service started is read here, not waited for until the time-out.
  std::wstring imageState;
  if (registry_->GetValue(up::kImageStateValue, &imageState, util::regtype::kSetupState) == 0 &&
      imageState == up::kImageStateComplete) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::WaitForOobe(): Found expected value for OOBE: %ws",
        imageState);
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::WaitForOobe(): Oobe Completed");
    return true;
  }
  const uint32_t limit =
      util::Tunables(registry_).Get(Tunable::SysprepMaxWaitTime, util::TunableContext{false, util::SysprepPhase::Oobe});
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::WaitForOobe(): Calling WaitForStringValue (Oobe)");
  bool found = false;
  const int32_t result = registry_->WaitForStringValue(up::kImageStateValue, up::kImageStateComplete, limit, &found,
                                                       system_->GetShutdownEvent(), util::regtype::kSetupState);
  if (found) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::WaitForOobe(): Found expected value for OOBE: %ws",
        std::wstring(up::kImageStateComplete));
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::WaitForOobe(): Oobe Completed");
    return true;
  }
  if (result == 0 || result == HResultFromWin32(platform::kErrorTimeout)) {
    if (system_->IsShutdownEventSet()) return true;
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::WaitForOobe(): Timed out waiting for Oobe");
    return false;
  }
  Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::WaitForOobe(): WaitForStringValue Failed: 0x%X",
      Hex(result));
  return false;
}

bool Universalprep::CustomizeClonePreShutdown() {
  agentIntegration_->ParseAgentIntegrationValues(AgentIntegration::kPreCustomization);
  if (script_->SecureScripts(type_->IsFastRefresh())) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClonePreShutdown(): SecureScripts Succeeded");
  } else {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClonePreShutdown(): Failed Securing Scripts");
  }
  if (type_->IsSysprepDomainJoin()) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeClonePreShutdown(): Sysprep domain join enabled. Skipping agent domain join.");
    persistentInfo_->Set(Persisted::CloneRenamed);
    persistentInfo_->Set(Persisted::CloneJoinedDomain);
  }
  state_->SetCustomizationState(util::status::kSnapshotting, 0u, "Customization", "Customization Is Running", 0);
  persistentInfo_->MarkCloneShutdownDone();
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClonePreShutdown(): Clone: Marked Clone Shutdown Done");
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClonePreShutdown(): Clone Customization Time Before Shutdown: %d seconds",
      support_->GetTotalCloneCustomizationTime() / 1000);
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClonePreShutdown(): Clone: About To Shutdown");
  // The snapshot is taken from the disk: the markers of this start must be on it.
  persistentInfo_->FlushKeys();
  return true;
}

// ---- after the snapshot -------------------------------------------------------------------------

bool Universalprep::WaitForRegistryCondition(util::RegistryType type, const std::function<bool()>& done,
                                             uint32_t timeoutMs) {
  UniqueHandle changed(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  if (!changed) return done();
  const uint32_t begin = platform::GetTickCount();
  for (;;) {
    // Armed before the value is read, so that a write between the read and the wait is not missed.
    platform::ResetEvent(changed.get());
    bool armed = false;
    const bool watching = registry_->WaitForChange(&armed, changed.get(), type) == 0 && armed;
    if (done()) return true;
    const uint32_t elapsed = platform::GetTickCount() - begin;
    if (!watching || elapsed >= timeoutMs) return false;
    // Without a shutdown event (no service around the flavour) only the change ends the wait early.
    const platform::Handle shutdown = system_->GetShutdownEvent();
    std::array<platform::Handle, 2> handles = {shutdown != nullptr ? shutdown : changed.get(), changed.get()};
    const uint32_t count = shutdown != nullptr ? 2 : 1;
    const uint32_t wait = platform::WaitForMultipleObjects(count, handles.data() + (2 - count), timeoutMs - elapsed);
    if (wait != platform::kWaitObject0 + count - 1) return false;  // stopped, timed out or failed
  }
}

bool Universalprep::HasLeftGeneralize() {
  auto left = [this] {
    std::wstring imageState;
    registry_->GetValue(up::kImageStateValue, &imageState, util::regtype::kSetupState);
    return imageState != up::kImageStateGeneralized;
  };
  // Setup runs its specialize pass, and with it the helper, beside the services of the clone's first
  // boot: a service that starts first still reads generalize. A pre-specialize that failed leaves it so
  // for good, which the wait's limit tells apart.
  const uint32_t limit = util::Tunables(registry_).Get(Tunable::SysprepMaxWaitTime,
                                                       util::TunableContext{false, util::SysprepPhase::Specialize});
  return WaitForRegistryCondition(util::regtype::kSetupState, left, limit);
}

std::wstring Universalprep::ReadOperationType() {
  std::wstring operation;
  persistentInfo_->GetText(Persisted::OPERATION_TYPE, &operation);
  Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): The clone OperationType is: %ws",
      operation);
  if (!operation.empty()) return operation;
  auto written = [this] {
    std::wstring value;
    return persistentInfo_->GetText(Persisted::OPERATION_TYPE, &value) == 0 && !value.empty();
  };
  if (!WaitForRegistryCondition(util::regtype::kQuorvelAgent, written, up::kOperationTypeWaitMs) &&
      !system_->IsShutdownEventSet()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Clone OperationType is not set in a timely manner. Please check Quorvel Agent logs");
  }
  persistentInfo_->GetText(Persisted::OPERATION_TYPE, &operation);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClone(): After wait, the clone OperationType is: %ws",
      operation);
  return operation;
}

bool Universalprep::CompleteCloneAfterSnapshot() {
  // A shutdown or reboot that an earlier completion asked for has happened when this start follows it.
  CheckCustomizationFlagsForReboot();
  const std::wstring operation = ReadOperationType();
  if (system_->IsShutdownEventSet()) {
    // The service is stopping: the next start reads the operation type again and completes.
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Shutdown Event Set, Exiting");
    return false;
  }
  if (operation == up::kNewClone) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Clone LCM indicator: New Clone");
    if (!CustomizeClonePostSnapshot()) {
      Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): CustomizeClonePostSnapshot Failed");
    }
  } else if (operation == up::kRefreshClone) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Clone LCM indicator: Refresh Clone");
    if (!persistentInfo_->Is(Persisted::MachinePwd)) {
      Log(LogLevel::Warn,
          L"tamber::core::windows::Universalprep::CustomizeClone(): Machine password is not set post fast refresh");
    }
  } else if (operation == up::kResyncClone) {
    Log(LogLevel::Debug, L"tamber::core::windows::Universalprep::CustomizeClone(): Clone LCM indicator: Resync Clone");
  } else {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Unknown operation type (or not supported yet): %ws",
        operation);
  }

  // Every operation type completes: the sibling agent has taken the clone over whatever it did, and a
  // clone left without completion would report nothing to the management side.
  if (!CustomizeClonePostShutdown()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Universalprep::CustomizeClone(): CustomizeClonePostShutdown Failed");
    return false;
  }
  if (CompletionDeferredByPowerRequest()) {
    // The completion goes on after the shutdown or reboot it asked for; the clone is not complete yet.
    Log(LogLevel::Debug,
        L"tamber::core::windows::Universalprep::CustomizeClone(): Clone customization continues after the requested shutdown or reboot");
    return true;
  }
  persistentInfo_->Set(Persisted::CloneCustomizationCompleted);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClone(): Clone customization successfully completed");
  return true;
}

bool Universalprep::CustomizeClonePostSnapshot() {
  return EnableAndStartService(
      L"netlogon", L"tamber::core::windows::Universalprep::CustomizeClonePostSnapshot(): Enabled Netlogon service",
      L"tamber::core::windows::Universalprep::CustomizeClonePostSnapshot(): Failed to enable Netlogon service: 0x%X",
      L"tamber::core::windows::Universalprep::CustomizeClonePostSnapshot(): Started Netlogon service",
      L"tamber::core::windows::Universalprep::CustomizeClonePostSnapshot(): Failed to start Netlogon service: 0x%X");
}

bool Universalprep::CompletionDeferredByPowerRequest() {
  const util::CustomizationFlagBits bits = flags_->GetCustomizationFlagsValue();
  const bool shutdownAhead = (bits & flag::kShutdownRequested) != 0 && (bits & flag::kShutdownCompleted) == 0;
  const bool rebootAhead = (bits & flag::kRebootRequested) != 0 && (bits & flag::kRebootCompleted) == 0;
  return shutdownAhead || rebootAhead;
}

bool Universalprep::CustomizeClonePostShutdown() {
  std::string status;
  state_->GetCustomizationState(&status);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClonePostShutdown(): Clone customization state is: %S", status);
  uint32_t sibling = 0;
  const bool siblingRead = util::NotifyHaldenAgent().GetStatus(&sibling) == 0;
  if (status != util::status::kPostSnapshotting || !siblingRead || sibling != kSiblingPostCheckpointing) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClonePostShutdown(): Unexpected clone customization state: %S, sibling status value: %d. Resetting the states",
        status, siblingRead ? static_cast<int32_t>(sibling) : -1);
    state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClonePostShutdown(): Trust Verification Succeeded");
  domainJoin_->UpdateUPN();
  if (!PreparePersistentDisks()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClonePostShutdown(): PreparePersistentDisks Failed");
    state_->SetCustomizationState(util::status::kError, kErrorPersistentDisks, "Persistent Disks", kEFail);
    return false;
  }
  const uint32_t begin = platform::GetTickCount();
  if (!CompleteCustomization()) {
    // The completion has recorded its own error; a "success" now would hide it.
    Log(LogLevel::Warn,
        L"tamber::core::windows::Universalprep::CustomizeClonePostShutdown(): CompleteCustomization Failed in %dms",
        platform::GetTickCount() - begin);
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::core::windows::Universalprep::CustomizeClonePostShutdown(): CompleteCustomization Succeeded in %dms",
      platform::GetTickCount() - begin);
  if (!CompletionDeferredByPowerRequest()) {
    state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);
  }
  return true;
}

}  // namespace tamber::core::windows
