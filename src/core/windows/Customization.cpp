#include "core/windows/Customization.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "common/util/StringConverter.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/DetachedThread.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "core/util/System.h"
#include "core/windows/Network.h"
#include "core/windows/PersistentDisks.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

using common::i18n::StringConverter;
using common::windows::HResultFromWin32;
using common::windows::kEFail;
using common::windows::kEInvalidArg;
using common::windows::UniqueHandle;
using util::CustomizationFlagBits;
using util::CustomizationTypeCode;
using util::Persisted;
namespace flag = util::flag;
namespace machine = util::machine;
namespace customization = util::customization;

namespace {

constexpr int32_t kEOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr uint32_t kErrorGettingCustomizationState = 31;
constexpr uint32_t kErrorPostCustomizationScript = 19;
constexpr uint32_t kPolicyStateNgaFailed = 6;

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }

// The case-insensitive comparison of the session manager's entries. The boot-time agent's entry is
// plain ASCII, so folding ASCII letters is enough and does not depend on any locale.
bool IsNgaEntry(const std::wstring& entry) {
  const size_t length = std::wcslen(kNgaBootExecuteEntry);
  if (entry.size() != length) return false;
  auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
  for (size_t i = 0; i < length; ++i) {
    if (fold(entry[i]) != fold(kNgaBootExecuteEntry[i])) return false;
  }
  return true;
}

bool IsSysprepPhaseStatus(const std::string& status) {
  return status == util::status::kSpecialize || status == util::status::kOobe ||
         status == util::status::kSnapshotting || status == util::status::kPostSnapshotting;
}

}  // namespace

Customization::Customization()
    : persistentInfo_(util::CustomizationPersistentInfo::Instance()),
      machineType_(util::MachineType::Instance()),
      support_(util::Support::Instance()),
      flags_(util::CustomizationFlags::Instance()),
      system_(util::System::Instance()),
      state_(util::CustomizationState::Instance()),
      type_(util::CustomizationType::Instance()),
      network_(Network::Instance()),
      registry_(util::Registry::Instance()),
      groupPolicy_(std::make_shared<GroupPolicy>()),
      domainJoin_(std::make_shared<DomainJoin>()),
      agentIntegration_(std::make_shared<AgentIntegration>()),
      script_(std::make_shared<Script>()) {}

Customization::~Customization() { WaitForCompletionWorker(kCompletionWorkerStopWaitMs); }

// ---- role dispatch ------------------------------------------------------------------------------

bool Customization::CustomizeVM() {
  bool result = false;
  switch (machineType_->GetMachineType()) {
    case machine::kInternalTemplate:
      Log(LogLevel::Debug, L"tamber::core::windows::Customization::CustomizeVM(): ** Internal Template **");
      result = CustomizeIT();
      if (!result) {
        Log(LogLevel::Error,
            L"tamber::core::windows::Customization::CustomizeVM(): Internal Template Customization Failed");
      }
      return result;
    case machine::kReplica:
      Log(LogLevel::Debug, L"tamber::core::windows::Customization::CustomizeVM(): ** Replica **");
      result = CustomizeReplica();
      if (!result) {
        Log(LogLevel::Error, L"tamber::core::windows::Customization::CustomizeVM(): Replica Customization Failed");
      }
      return result;
    case machine::kParent:
      Log(LogLevel::Debug, L"tamber::core::windows::Customization::CustomizeVM(): ** Parent **");
      result = CustomizeParent();
      if (!result) {
        Log(LogLevel::Error, L"tamber::core::windows::Customization::CustomizeVM(): Parent Customization Failed");
      }
      return result;
    case machine::kClone:
      Log(LogLevel::Debug, L"tamber::core::windows::Customization::CustomizeVM(): ** Clone **");
      result = CustomizeClone();
      // Every later start of a completed clone lands here; that is no failure worth a line.
      if (!result && !persistentInfo_->Is(Persisted::CloneCustomizationCompleted)) {
        Log(LogLevel::Error, L"tamber::core::windows::Customization::CustomizeVM(): Clone Customization Failed");
      }
      return result;
    default:
      Log(LogLevel::Warn, L"tamber::core::windows::Customization::CustomizeVM(): Nothing Needs To Be Done.");
      return false;
  }
}

bool Customization::CustomizeMaster() { return VerifyNGAConfig(); }

// Only the flavours know how to customize a role. A plain Customization is what the driver holds until
// a flavour is chosen; asked for a role's work, it says so and fails.
bool Customization::CustomizeIT() {
  Log(LogLevel::Error,
      L"tamber::core::windows::Customization::CustomizeIT(): No customization flavour available for this role");
  return false;
}

bool Customization::CustomizeParent() {
  Log(LogLevel::Error,
      L"tamber::core::windows::Customization::CustomizeParent(): No customization flavour available for this role");
  return false;
}

bool Customization::CustomizeReplica() {
  Log(LogLevel::Error,
      L"tamber::core::windows::Customization::CustomizeReplica(): No customization flavour available for this role");
  return false;
}

bool Customization::CustomizeClone() {
  Log(LogLevel::Error,
      L"tamber::core::windows::Customization::CustomizeClone(): No customization flavour available for this role");
  return false;
}

// ---- clone decisions ----------------------------------------------------------------------------

bool Customization::OkToCustomizeClone() {
  std::string status;
  if (!state_->GetCustomizationState(&status)) {
    Log(LogLevel::Error, L"tamber::core::windows::Customization::OkToCustomizeClone(): Clone: %S",
        StringConverter::ToUtf8String(state_->GetDescription(kErrorGettingCustomizationState)));
    state_->SetCustomizationState(util::status::kError, kErrorGettingCustomizationState, "Customization State", 0);
    return false;
  }
  if (status == util::status::kRunning) return true;
  if (status == util::status::kSuccess && persistentInfo_->Is(Persisted::CloneCustomizationCompleted)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::OkToCustomizeClone(): Clone: Customization Has Already Completed Successfully");
    return false;
  }
  if (status == util::status::kSuccess) {
    // The hypervisor was told "success" but the completion never reached the disk: the power went while
    // the last start completed. The steps done are marked; the completion is done again.
    Log(LogLevel::Warn,
        L"tamber::core::windows::Customization::OkToCustomizeClone(): Clone: Success Reported But Completion Not Recorded, Completing Again");
    return true;
  }
  if (IsSysprepPhaseStatus(status)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::OkToCustomizeClone(): Clone: Sysprep Customization In Progress");
    return true;
  }
  Log(LogLevel::Error,
      L"tamber::core::windows::Customization::OkToCustomizeClone(): Clone: Customization failed in nga, cannot continue");
  Log(LogLevel::Debug,
      L"tamber::core::windows::Customization::OkToCustomizeClone(): Total Clone Customization Time: %dms",
      platform::GetTickCount());
  // Not forced: an error recorded earlier says more about what went wrong than this one.
  persistentInfo_->SetPolicyState(kPolicyStateNgaFailed, util::kNotifyFailed, /*force=*/false);
  return false;
}

bool Customization::OkToCompleteCustomization() {
  auto* info = persistentInfo_;
  const CustomizationTypeCode type = type_->GetCustomizationType();
  switch (type) {
    case customization::kCloneprep:
      if (!info->Is(Persisted::CloneJoinedDomain) || !info->Is(Persisted::CloneMacAddressReset) ||
          (!info->Is(Persisted::CloneMachinePasswordChanged) && info->Is(Persisted::ChangeCloneMachinePassword)) ||
          info->Is(Persisted::CloneCustomizationCompleted)) {
        return false;
      }
      Log(LogLevel::Debug,
          L"tamber::core::windows::Customization::OkToCompleteCustomization(): Cloneprep Ready To Complete Customization");
      break;
    case customization::kSysprep:
      if (!info->Is(Persisted::CloneJoinedDomain) || info->Is(Persisted::CloneCustomizationCompleted)) return false;
      Log(LogLevel::Debug,
          L"tamber::core::windows::Customization::OkToCompleteCustomization(): Sysprep Ready To Complete Customization");
      break;
    case customization::kUniversalprep:
      if (!info->Is(Persisted::CloneJoinedDomain) || info->Is(Persisted::CloneCustomizationCompleted)) return false;
      Log(LogLevel::Debug,
          L"tamber::core::windows::Customization::OkToCompleteCustomization(): Universalprep Ready To Complete Customization");
      break;
    default:
      Log(LogLevel::Warn,
          L"tamber::core::windows::Customization::OkToCompleteCustomization(): Unknown Customization Type: %d", type);
      return false;
  }

  const bool shutdownRequired = flags_->IsFlagSet(flag::kShutdownRequired);
  const bool rebootRequired = flags_->IsFlagSet(flag::kRebootRequired);
  const bool shutdownCompleted = flags_->IsFlagSet(flag::kShutdownCompleted);
  const bool rebootCompleted = flags_->IsFlagSet(flag::kRebootCompleted);
  if (!shutdownRequired && !rebootRequired) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::OkToCompleteCustomization(): No flags set, completing customization");
    return true;
  }
  if (shutdownRequired && rebootRequired) {
    if (!shutdownCompleted || !rebootCompleted) return false;
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::OkToCompleteCustomization(): Shutdown and reboot were required and have completed, completing customization");
    return true;
  }
  if (shutdownRequired) {
    if (!shutdownCompleted) return false;
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::OkToCompleteCustomization(): Only a shutdown was required and has completed, completing customization");
    return true;
  }
  if (!rebootCompleted) return false;
  Log(LogLevel::Debug,
      L"tamber::core::windows::Customization::OkToCompleteCustomization(): Only a reboot was required and has completed, completing customization");
  return true;
}

bool Customization::ProcessShutdownOrReboot() {
  if (flags_->IsFlagSet(flag::kShutdownRequired) && !flags_->IsFlagSet(flag::kShutdownCompleted)) {
    // The next start knows the shutdown was ours only from this bit. Without it, that start would ask for
    // the same shutdown again, and the clone would go down on every start.
    if ((flags_->SetCustomizationFlags(flag::kShutdownRequested) & flag::kShutdownRequested) == 0) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Failed setting shutdown requested flag, not shutting down");
      return true;
    }
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Set shutdown requested flag");
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Total Clone Customization Time Pre-Shutdown: %dms",
        support_->GetTotalCloneCustomizationTime());
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Initiating required agent shutdown");
    persistentInfo_->FlushKeys();  // the markers of this start must outlive the power-off
    system_->Shutdown(0);
    return true;
  }
  if (flags_->IsFlagSet(flag::kRebootRequired) && !flags_->IsFlagSet(flag::kRebootCompleted)) {
    if ((flags_->SetCustomizationFlags(flag::kRebootRequested) & flag::kRebootRequested) == 0) {
      Log(LogLevel::Error,
          L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Failed setting reboot requested flag, not rebooting");
      return true;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Set reboot requested flag");
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Total Clone Customization Time Pre-Reboot: %dms",
        support_->GetTotalCloneCustomizationTime());
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::ProcessShutdownOrReboot(): Initiating required agent reboot");
    persistentInfo_->FlushKeys();
    system_->Reboot(0);
  }
  return true;
}

bool Customization::CheckCustomizationFlagsForReboot() {
  CustomizationFlagBits bits = flags_->GetCustomizationFlagsValue();
  Log(LogLevel::Debug,
      L"tamber::core::windows::Customization::CheckCustomizationFlagsForReboot(): Current Customization Flags: (0x%X), %ws",
      bits, flags_->GetCustomizationFlagsText());
  bool added = false;
  if ((bits & flag::kShutdownRequested) != 0 && (bits & flag::kShutdownCompleted) == 0) {
    bits = flags_->SetCustomizationFlags(flag::kShutdownCompleted);
    if ((bits & flag::kShutdownCompleted) != 0) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Customization::CheckCustomizationFlagsForReboot(): Set shutdown completed flag");
      added = true;
    }
  }
  if ((bits & flag::kRebootRequested) != 0 && (bits & flag::kRebootCompleted) == 0) {
    bits = flags_->SetCustomizationFlags(flag::kRebootCompleted);
    if ((bits & flag::kRebootCompleted) != 0) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Customization::CheckCustomizationFlagsForReboot(): Set reboot completed flag");
      added = true;
    }
  }
  return added;
}

bool Customization::CompleteCustomization() {
  if (!OkToCompleteCustomization()) return ProcessShutdownOrReboot();
  Log(LogLevel::Debug,
      L"tamber::core::windows::Customization::CompleteCustomization(): Completing Clone Customization...");
  if (!RunPostCustomizationScript()) {
    state_->SetCustomizationState(util::status::kError, kErrorPostCustomizationScript, "Scripts", kEFail);
    return false;
  }
  // The golden image reads guestinfo from its registry mirror, where these values cannot be asked for.
  if (!persistentInfo_->IsGoldenImage()) {
    agentIntegration_->ParseAgentIntegrationValues(AgentIntegration::kPostCustomization);
  }
  if (type_->IsFastRefresh()) flags_->SetCustomizationFlags(flag::kFastRefreshCompleted);
  state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);
  persistentInfo_->Set(Persisted::CloneCustomizationCompleted);

  const CustomizationFlagBits bits = flags_->GetCustomizationFlagsValue();
  if (bits == 0) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::CompleteCustomization(): Total Clone Customization Time: %dms",
        support_->GetTotalCloneCustomizationTime());
  } else if ((bits & (flag::kShutdownCompleted | flag::kRebootCompleted)) != 0) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::CompleteCustomization(): Total Clone Customization Time Post-Shutdown or Reboot: %dms",
        platform::GetTickCount());
  }
  StartCompletionWorker();
  return true;
}

bool Customization::RunPostCustomizationScript() { return script_->RunPostCustomizationScript(type_->IsFastRefresh()); }

bool Customization::RunPreShutdownScript() { return script_->RunPreShutdownScript(); }

bool Customization::IsPreShutdownScriptReady() { return script_->IsPreShutdownScriptReady(); }

// ---- completion worker --------------------------------------------------------------------------

void Customization::SetCompletionWork(std::function<void()> work) {
  std::lock_guard<std::mutex> guard(workerLock_);
  completionWork_ = std::move(work);
}

void Customization::StartCompletionWorker() {
  // One worker at a time: a second completion gives the first one the same short wait as a stop.
  WaitForCompletionWorker(kCompletionWorkerStopWaitMs);
  std::lock_guard<std::mutex> guard(workerLock_);
  std::function<void()> work = completionWork_;
  if (!work) {
    work = [groupPolicy = groupPolicy_, domainJoin = domainJoin_] { RunCompletionSteps(groupPolicy, domainJoin); };
  }
  auto done =
      std::make_shared<UniqueHandle>(platform::CreateEvent(/*manualReset=*/true, /*initialState=*/false, nullptr));
  if (!*done) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Customization::CompleteCustomization(): Failed Starting Completion Worker: 0x%X",
        HResultFromWin32(platform::GetLastError()));
    return;
  }
  std::string error;
  if (!util::StartDetachedThread(
          [work = std::move(work), done] {
            work();
            platform::SetEvent(done->get());
          },
          &error)) {
    Log(LogLevel::Error,
        L"tamber::core::windows::Customization::CompleteCustomization(): Failed Starting Completion Worker: %S",
        error.c_str());
    return;
  }
  completionDone_ = done;
}

bool Customization::WaitForCompletionWorker(uint32_t timeoutMs) {
  std::shared_ptr<UniqueHandle> done;
  {
    std::lock_guard<std::mutex> guard(workerLock_);
    done = std::static_pointer_cast<UniqueHandle>(completionDone_);
  }
  if (!done) return true;
  if (platform::WaitForSingleObject(done->get(), timeoutMs) == platform::kWaitObject0) return true;
  Log(LogLevel::Warn,
      L"tamber::core::windows::Customization::WaitForCompletionWorker(): Completion Worker Still Running After %dms; Not Waiting Longer",
      timeoutMs);
  return false;
}

void Customization::RunCompletionSteps(const std::shared_ptr<GroupPolicy>& groupPolicy,
                                       const std::shared_ptr<DomainJoin>& domainJoin) {
  groupPolicy->UpdateGroupPolicy();
  domainJoin->LogUPN();
}

// ---- pre-shutdown and persistent disks ----------------------------------------------------------

bool Customization::RunPreShutdownRoutine() {
  flags_->GetCustomizationFlagsValue();
  if (flags_->IsFlagSet(flag::kSysprepDomainJoin) && flags_->IsFlagSet(flag::kResyncCleanup)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::RunPreShutdownRoutine(): Backup machine password for sysprep domain join");
    const bool backedUp = domainJoin_->BackupMachinePassword();
    guestInfo_.Log(backedUp ? "Successfull backup of machine password for sysprep domain join"
                            : "Failed to backup machine password for sysprep domain join");
  }
  if ((type_->IsSysprep() || type_->IsUniversalprep()) &&
      !persistentInfo_->Is(Persisted::CloneCustomizationCompleted)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Customization::RunPreShutdownRoutine(): Skipping pre-shutdown script execution until clone customization is completed.");
    return true;
  }
  return RunPreShutdownScript();
}

bool Customization::PreparePersistentDisks() {
  if (flags_->IsFlagSet(flag::kPersistentDisksEnabled)) {
    // The profile-list monitor it may start owns what it needs, so the list need not outlive this call.
    PersistentDisks disks;
    return disks.InitializeDisks(kPartitionTypeQx);
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Customization::PreparePersistentDisks(): Persistent Disks Disabled");
  return true;
}

// ---- boot-time agent registration ---------------------------------------------------------------

bool Customization::VerifyNGAConfig() {
  Log(LogLevel::Debug, L"tamber::core::windows::Customization::VerifyNGAConfig(): VerifyNGAConfig Started");
  auto key = registry_->GetKeyObj(util::regtype::kSessionManager);
  if (key && key->IsOpen()) {
    Log(LogLevel::Debug, L"tamber::core::windows::Customization::VerifyNGAConfig(): smKey Opened");
  }
  std::vector<std::wstring> entries;
  int32_t result = registry_->GetValue(kBootExecuteValue, &entries, util::regtype::kSessionManager);
  if (result != 0) {
    Log(LogLevel::Warn, L"tamber::core::windows::Customization::VerifyNGAConfig(): Failed Reading BootExecute: 0x%X",
        Hex(result));
    return false;
  }
  for (const auto& entry : entries) {
    if (entry.size() > 1 && IsNgaEntry(entry)) {
      Log(LogLevel::Debug, L"tamber::core::windows::Customization::VerifyNGAConfig(): VerifyNGAConfig Succeeded");
      return true;
    }
  }
  if (UpdateBootExecute(entries)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Customization::VerifyNGAConfig(): Updated %ws", kBootExecuteValue);
    Log(LogLevel::Debug, L"tamber::core::windows::Customization::VerifyNGAConfig(): VerifyNGAConfig Succeeded");
    return true;
  }
  Log(LogLevel::Error, L"tamber::core::windows::Customization::VerifyNGAConfig(): Failed Updating %ws",
      kBootExecuteValue);
  Log(LogLevel::Error, L"tamber::core::windows::Customization::VerifyNGAConfig(): VerifyNGAConfig Failed");
  return false;
}

bool Customization::UpdateBootExecute(const std::vector<std::wstring>& entries) {
  // Each kept entry as UTF-16LE with its terminating null; "longer than one character" counts UTF-16
  // units, as the session manager does.
  std::vector<std::vector<uint8_t>> kept;
  kept.reserve(entries.size() + 1);
  for (const auto& entry : entries) {
    auto bytes = common::util::ToUtf16LeBytes(entry);
    if (bytes.size() > 2 * sizeof(uint16_t)) kept.push_back(std::move(bytes));
  }
  kept.push_back(common::util::ToUtf16LeBytes(kNgaBootExecuteEntry));

  size_t size = sizeof(uint16_t);  // the empty string that ends the list
  for (const auto& bytes : kept) size += bytes.size();
  if (size > std::numeric_limits<uint32_t>::max()) {
    Log(LogLevel::Error, L"tamber::core::windows::Customization::UpdateBootExecute(): Failed Updating %ws, 0x%X",
        kBootExecuteValue, Hex(kEInvalidArg));
    return false;
  }
  // Zero-filled, so the terminators are there before any entry is copied in.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
  if (!buffer) {
    Log(LogLevel::Error, L"tamber::core::windows::Customization::UpdateBootExecute(): HeapAlloc Failed: 0x%X",
        Hex(kEOutOfMemory));
    return false;
  }
  size_t offset = 0;
  for (const auto& bytes : kept) {
    std::memcpy(buffer.get() + offset, bytes.data(), bytes.size());
    offset += bytes.size();
  }
  int32_t result =
      registry_->SetValue(kBootExecuteValue, buffer.get(), static_cast<uint32_t>(size), util::regtype::kSessionManager);
  if (result != 0) {
    Log(LogLevel::Error, L"tamber::core::windows::Customization::UpdateBootExecute(): Failed Updating %ws, 0x%X",
        kBootExecuteValue, Hex(result));
    return false;
  }
  return true;
}

}  // namespace tamber::core::windows
