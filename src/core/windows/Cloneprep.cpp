#include "core/windows/Cloneprep.h"

#include "common/device/RenewIp.h"
#include "common/util/StringConverter.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/CustomizationState.h"
#include "core/util/MachineType.h"
#include "core/util/Support.h"
#include "core/util/System.h"
#include "core/util/Tunables.h"
#include "core/windows/AgentIntegration.h"
#include "core/windows/Network.h"
#include "core/windows/Script.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Services.h"
#include "platform/Sync.h"

namespace tamber::core::windows {

using common::i18n::StringConverter;
using common::windows::kEFail;
using util::Persisted;
using util::Support;
using util::System;
using util::Tunable;
using Timing = util::Support::Timing;

namespace {

constexpr uint32_t kErrorPersistentDisks = 14;
constexpr uint32_t kErrorDomainJoin = 18;
constexpr uint32_t kErrorMacAddress = 23;
constexpr uint32_t kErrorDomainTrust = 26;
constexpr uint32_t kErrorIpAddress = 27;
constexpr uint32_t kErrorMachinePassword = 29;
constexpr uint32_t kErrorRenameInNga = 32;
constexpr uint32_t kTemplateCustomizationDone = 2;
// A reboot that must not return before the machine goes down.
constexpr uint32_t kRebootNeverReturns = 0xFFFFFFFF;

const char* kTrustCategory = "Domain Trust Verification";

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }

}  // namespace

Cloneprep::Cloneprep() = default;
Cloneprep::~Cloneprep() = default;

std::string Cloneprep::Description(uint32_t code) {
  return StringConverter::ToUtf8String(state_->GetDescription(code));
}

void Cloneprep::SetError(uint32_t code, const char* category) {
  // After a stop every wait on the shutdown event ends at once, so a step that waits for the network or a
  // service fails without having had its time. Such a failure says nothing about the clone; recorded,
  // it would refuse the clone on every later start. The next start does the step again instead.
  if (system_->IsShutdownEventSet()) {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Cloneprep::SetCustomizationState(): Service Is Stopping, Error %d (%S) Not Recorded; The Next Start Continues",
        code, std::string(category));
    return;
  }
  state_->SetCustomizationState(util::status::kError, code, category, kEFail);
}

void Cloneprep::WaitPostNetlogonStartDelay() {
  const uint32_t delay = persistentInfo_->Get(Persisted::PostNetlogonStartDelay);
  if (delay == 0) return;
  platform::WaitForSingleObject(system_->GetShutdownEvent(), delay);
}

void Cloneprep::ReleaseAddresses() {
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Replica: Releasing IP...");
  network_->ReleaseIP();
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Replica: Finished Releasing IP");
}

// ---- internal template --------------------------------------------------------------------------

bool Cloneprep::CustomizeIT() {
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): CustomizeIT Called");
  if (persistentInfo_->IsValue(Persisted::TemplateCustomization, kTemplateCustomizationDone)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template Customization Skipped");
    return true;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Performing customization.");

  persistentInfo_->Set(Persisted::IpRenewed, 0);
  common::windows::device::RenewIp renewal;
  uint32_t retries = 0;
  uint32_t delay = 0;
  network_->GetRenewIPRetries(&retries);
  network_->GetRenewIPDelayIT(&delay);
  renewal.setTries(retries, delay);
  renewal.start(network_->GetIpProtocol());

  // The UUID is half of the key that protects the machine password in the guest variables: whether it
  // is there is logged, never its value.
  std::string uuid;
  const bool haveUuid = guestInfo_.GetValue(DomainJoin::kCloneUuidVariable, &uuid) && !uuid.empty();
  uuid.assign(uuid.size(), '\0');
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Internal Template: %S",
      std::string(haveUuid ? "********" : "(no clone UUID)"));

  if (!persistentInfo_->Is(Persisted::TemplateRenamed)) {
    Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeIT(): IT %S. Cannot Continue",
        Description(kErrorRenameInNga));
    state_->SetCustomizationState(util::status::kError, kErrorRenameInNga, "Rename", kEFail);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): IT Rename Succeeded In NGA");
  state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
  agentIntegration_->CreateAgentIntegrationKey();
  domainJoin_->GetHostName(nullptr);
  domainJoin_->GetDomainName(nullptr);

  if (persistentInfo_->Is(Persisted::TemplateJoinedDomain) && persistentInfo_->Is(Persisted::TemplateRebooted)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Cloneprep::CustomizeIT(): Template has been renamed, domain joined, and rebooted. Needs to shutdown.");
    persistentInfo_->Set(Persisted::TemplateShutdownNeeded);
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Marked Template Shutdown Needed.");
    uint32_t joinTime = 0;
    support_->GetValue(Support::ValueName(Timing::DomainJoin), &joinTime);
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Total Template Domain Join Time: %dms",
        joinTime + platform::GetTickCount());
  }

  if (!renewal.waitForFirstIp()) {
    SetError(kErrorIpAddress, "IP Address");
    std::string diagnostic;
    renewal.getErrorDiagnostics(diagnostic, Description(kErrorIpAddress));
    Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::CustomizeIT(): IT: %S", diagnostic);
    return false;
  }
  if (renewal.hasIpAddress() == 0) persistentInfo_->Set(Persisted::IpRenewed);

  bool joinFailed = false;
  if (!persistentInfo_->Is(Persisted::TemplateJoinedDomain) &&
      persistentInfo_->Is(Persisted::TemplateDomainJoinFinished)) {
    // The join is done and durable (its password has left guestinfo for good); only the step's own
    // marker was lost to a power cut. Joining again could only fail, on every start.
    Log(LogLevel::Debug,
        L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Domain Join Already Finished, Rebooting Now");
    persistentInfo_->Set(Persisted::TemplateJoinedDomain);
    return RebootAfterJoin();
  }
  if (!persistentInfo_->Is(Persisted::TemplateJoinedDomain)) {
    if (JoinTemplate(&joinFailed)) return true;  // going down for the join reboot
  } else {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Skipping Domain Join");
  }

  if (persistentInfo_->Is(Persisted::TemplateRebooted)) return FinishTemplate();
  if (persistentInfo_->Is(Persisted::TemplateJoinedDomain)) {
    // Joined, but the mark of the reboot that follows the join never reached the disk (the power went
    // between the two): without that reboot the template would wait here on every start.
    Log(LogLevel::Debug,
        L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Joined But Not Yet Rebooted, Rebooting Now");
    return RebootAfterJoin();
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Skipping Shutdown");
  return !joinFailed;
}

bool Cloneprep::JoinTemplate(bool* failed) {
  support_->Start(Timing::DomainJoin);
  support_->SaveTickCount(Support::kDomainJoinStartTickCount);
  const int32_t result = domainJoin_->JoinMachineToDomain();
  if (result != 0) {
    *failed = true;
    Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeIT(): Domain Join Failed: 0x%X", Hex(result));
    if (persistentInfo_->Is(Persisted::TemplateDomainJoinFinished)) {
      SetError(kErrorDomainJoin, "Domain Join");
      Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::CustomizeIT(): IT: %S", Description(kErrorDomainJoin));
    }
    return false;
  }
  persistentInfo_->Set(Persisted::TemplateJoinedDomain);
  support_->Stop(Timing::DomainJoin);
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Domain Join Completed");
  system_->Sleep(util::Tunables(registry_).Get(Tunable::DomainJoinRebootDelay));
  return RebootAfterJoin();
}

bool Cloneprep::RebootAfterJoin() {
  persistentInfo_->Set(Persisted::TemplateRebooted);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Marked Template Rebooted. About To Reboot");
  support_->SaveTickCount(Support::kRebootTickCount);
  persistentInfo_->FlushKeys();  // the markers of the join must outlive the restart
  system_->Reboot(0);
  return true;
}

bool Cloneprep::FinishTemplate() {
  domainJoin_->ChangeMachinePassword(/*force=*/false);
  if (!domainJoin_->VerifyTrustEx()) {
    SetError(kErrorDomainTrust, kTrustCategory);
    Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::CustomizeIT(): IT: %S", Description(kErrorDomainTrust));
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): IT Trust Verification Succeeded");
  if (guestInfo_.SetValue(util::kNgaForkVariable, 1)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Set ngaFork");
  } else {
    Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Failed setting guestinfo.ngaFork");
  }
  persistentInfo_->Set(Persisted::TemplateCustomization, kTemplateCustomizationDone);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Marked Template Customization Done");
  Log(LogLevel::Debug,
      L"tamber::core::windows::Cloneprep::CustomizeIT(): IT Customization is Done, calling SetCustomizationState");
  state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);
  if (!groupPolicy_->UpdateGroupPolicy()) {
    Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::CustomizeIT(): Update Group Policy Failed");
  }
  persistentInfo_->Set(Persisted::TemplateShutdownNeeded, 0);
  Log(LogLevel::Debug,
      L"tamber::core::windows::Cloneprep::CustomizeIT(): Template: Marked Template Shutdown Done.  About To Shutdown");
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeIT(): Total IT Customization Time: %dms",
      support_->GetTotalITCustomizationTime());
  persistentInfo_->FlushKeys();
  system_->Shutdown(0);
  return true;
}

// ---- parent and replica -------------------------------------------------------------------------

bool Cloneprep::CustomizeParent() {
  state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
  state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);
  return true;
}

bool Cloneprep::CustomizeReplica() {
  if (persistentInfo_->Is(Persisted::ReplicaCustomizationCompleted)) return true;
  if (!persistentInfo_->Is(Persisted::ReplicaRebooted)) {
    state_->SetCustomizationState(util::status::kRunning, 0u, "Customization", "Customization Is Running", 0);
    system_->Sleep(2000);
    ReleaseAddresses();
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Replica: About To Reboot");
    persistentInfo_->Set(Persisted::ReplicaRebooted);
    support_->SaveTickCount(Support::kRebootTickCount);
    persistentInfo_->FlushKeys();
    system_->Reboot(0);
    return true;
  }
  ReleaseAddresses();
  if (persistentInfo_->Is(Persisted::DisableDhcpService)) {
    uint32_t disabled = platform::kServiceDisabled;
    const int32_t result = system_->ControlSvc(L"dhcp", System::kControlSetStartType, &disabled);
    if (result >= 0) {
      Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Disabled DHCP Service");
    } else {
      Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Failed Disabling DHCP Service: 0x%X",
          Hex(result));
    }
  }
  uint32_t disabled = platform::kServiceDisabled;
  const int32_t result = system_->ControlSvc(L"netlogon", System::kControlSetStartType, &disabled);
  if (result >= 0) {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Disabled Netlogon Service");
  } else {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Cloneprep::CustomizeReplica(): Failed Disabling Netlogon Service: 0x%X", Hex(result));
  }
  state_->SetCustomizationState(util::status::kSuccess, 0u, "Customization", "Customization Succeeded", 0);
  persistentInfo_->Set(Persisted::ReplicaCustomizationCompleted);
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeReplica(): Total Replica Customization Time: %dms",
      support_->GetTotalCloneCustomizationTime());
  Log(LogLevel::Debug,
      L"tamber::core::windows::Cloneprep::CustomizeReplica(): Replica: Has Been Rebooted, About To Shutdown");
  persistentInfo_->FlushKeys();
  system_->Shutdown(0);
  return true;
}

// ---- clone --------------------------------------------------------------------------------------

bool Cloneprep::CustomizeClone() {
  support_->Start(Timing::TotalCustomization);
  bool result = false;
  if (OkToCustomizeClone()) {
    util::NotifyHaldenAgent().MarkCustomizationInProgress();
    agentIntegration_->ParseAgentIntegrationValues(AgentIntegration::kPreCustomization);
    agentIntegration_->VesIntegration();
    domainJoin_->GetHostName(nullptr);
    domainJoin_->GetDomainName(nullptr);
    if (CheckCustomizationFlagsForReboot()) {
      if (!network_->RenewIP()) {
        Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeClone(): Clone: %S",
            Description(kErrorIpAddress));
        SetError(kErrorIpAddress, "IP Address");
      } else {
        result = CompleteCustomization();
        if (!result) {
          Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeClone(): CompleteCustomization Failed");
        }
      }
    } else {
      Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeClone(): Starting clone customization...");
      if (!InitNetwork()) {
        Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeClone(): InitNetwork Failed");
      } else if (!ApplyIdentitySet()) {
        Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeClone(): ApplyIdentitySet Failed");
      } else if (!PreparePersistentDisks()) {
        Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeClone(): PreparePersistentDisks Failed");
        SetError(kErrorPersistentDisks, "Persistent Disks");
      } else {
        result = CompleteCustomization();
        if (!result) {
          Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::CustomizeClone(): CompleteCustomization Failed");
        }
      }
    }
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::CustomizeClone(): Total Clone Customization Time: %dms",
      platform::GetTickCount());
  return result;
}

void Cloneprep::StartServiceTimed(const wchar_t* name, const wchar_t* started, const wchar_t* failed) {
  const uint32_t begin = platform::GetTickCount();
  const int32_t result = system_->ControlSvc(name, System::kControlStart);
  const uint32_t elapsed = platform::GetTickCount() - begin;
  if (result >= 0) {
    Log(LogLevel::Debug, started, elapsed);
  } else {
    Log(LogLevel::Warn, failed, elapsed, Hex(result));
  }
}

bool Cloneprep::InitNetwork() {
  if (!persistentInfo_->Is(Persisted::CloneJoinedDomain)) {
    if (!persistentInfo_->Is(Persisted::SkipCloneprepDomainJoin)) {
      support_->Start(Timing::DomainJoin);
      if (!domainJoin_->JoinCloneToDomain()) {
        SetError(kErrorDomainJoin, "Domain Join");
        Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::InitNetwork(): Clone: %s",
            Description(kErrorDomainJoin));
      } else {
        persistentInfo_->Set(Persisted::CloneJoinedDomain);
        Log(LogLevel::Debug,
            L"tamber::core::windows::Cloneprep::InitNetwork(): Clone: Joined To Domain. Total Domain Join Time: %dms",
            support_->Stop(Timing::DomainJoin));
      }
    } else {
      Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::InitNetwork(): Clone: Skipping domain join");
    }
  }
  if (!network_->SetMacAddress()) SetError(kErrorMacAddress, "Network");
  StartServiceTimed(
      L"netlogon", L"tamber::core::windows::Cloneprep::InitNetwork(): Started Netlogon Service In %dms",
      L"tamber::core::windows::Cloneprep::InitNetwork(): Failed Starting Netlogon Service In %dms, Error: 0x%X");
  if (persistentInfo_->Is(Persisted::DisableDhcpService)) {
    StartServiceTimed(
        L"dhcp", L"tamber::core::windows::Cloneprep::InitNetwork(): Started DHCP Service In %dms",
        L"tamber::core::windows::Cloneprep::InitNetwork(): Failed Starting DHCP Service In %dms, Error: 0x%X");
  }
  WaitPostNetlogonStartDelay();
  script_->SecureScripts(type_->IsFastRefresh());

  common::windows::device::Util adapters;
  if (adapters.isIpAddressAvailable()) return true;
  if (!network_->RenewIP()) {
    Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::InitNetwork(): Failed Renewing IP Address");
    SetError(kErrorIpAddress, "IP Address");
    return false;
  }
  return true;
}

bool Cloneprep::ApplyIdentitySet() {
  int32_t result = system_->ControlSvc(L"netlogon", System::kControlRestart);
  if (result >= 0) {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Restarted Netlogon Service");
  } else {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Failed Restarting Netlogon Service: 0x%X", Hex(result));
  }
  WaitPostNetlogonStartDelay();
  result = system_->ControlSvc(L"w32time", System::kControlRestart);
  if (result >= 0) {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Restarted W32Time");
  } else {
    Log(LogLevel::Warn,
        L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Failed Restarting W32Time Service: Error: 0x%X",
        Hex(result));
  }
  if (!domainJoin_->ChangeMachinePassword(/*force=*/false)) {
    SetError(kErrorMachinePassword, "Domain Join");
    return false;
  }
  if (persistentInfo_->IsBelowLimit(Persisted::PreVerifyTrustReboots)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Initiating Pre-Verify Trust Reboot");
    persistentInfo_->Increment(Persisted::PreVerifyTrustReboots);
    persistentInfo_->FlushKeys();
    system_->Reboot(kRebootNeverReturns);
    return false;  // reached only when the reboot could not be requested
  }
  if (!domainJoin_->VerifyTrustEx()) {
    if (persistentInfo_->IsBelowLimit(Persisted::VerifyTrustFailedReboots)) {
      Log(LogLevel::Debug,
          L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Initiating Verify Trust Failed Reboot");
      persistentInfo_->Increment(Persisted::VerifyTrustFailedReboots);
      persistentInfo_->FlushKeys();
      system_->Reboot(kRebootNeverReturns);
      return false;
    }
    if (persistentInfo_->IsBelowLimit(Persisted::NetJoinDomainAttempts)) {
      if (!domainJoin_->JoinCloneToDomainWithNetJoinDomain()) {
        domainJoin_->ClearMachinePassword();
        SetError(kErrorDomainJoin, "Domain Join");
        Log(LogLevel::Error, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Clone: %s",
            Description(kErrorDomainJoin));
        return false;
      }
      // The join has asked for the restart it needs. A trust check now would race the machine going
      // down and could leave an error status that refuses the clone on its next start; that start checks
      // the trust instead.
      Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Clone: Skipped NetJoinDomain");
      return false;
    }
    Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Clone: Skipped NetJoinDomain");
    if (!domainJoin_->VerifyTrustEx()) {
      SetError(kErrorDomainTrust, kTrustCategory);
      Log(LogLevel::Warn, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Clone %S",
          Description(kErrorDomainTrust));
      return false;
    }
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Cloneprep::ApplyIdentitySet(): Clone Trust Verification Succeeded");
  domainJoin_->UpdateUPN();
  return true;
}

}  // namespace tamber::core::windows
