#include "core/util/CustomizationPersistentInfo.h"

#include <array>

#include "common/registry/RegKey.h"
#include "common/windows/Handles.h"
#include "core/util/CustomizationState.h"
#include "framework/log/Log.h"
#include "platform/Registry.h"

namespace tamber::core::util {
namespace {

using common::windows::kEFail;
using common::windows::kEInvalidArg;
using P = Persisted;
using K = PersistedKind;
using namespace regtype;
namespace w = persisted_write;

constexpr uint8_t kSetOne = w::kOne;
constexpr uint8_t kSetOneZero = w::kOne | w::kZero;
constexpr uint8_t kSetOneTwo = w::kOne | w::kTwo;
constexpr uint8_t kSetAny = w::kAny;
constexpr uint8_t kReadOnly = w::kNone;

// name, key, kind, default, writes[, the counter's maximum]
constexpr std::array<PersistedValueInfo, static_cast<size_t>(P::Count)> kTable = {{
    {P::GoldenImage, L"GoldenImage", kSetup, K::Flag, 0, kReadOnly, P::Count},
    {P::PoolID, L"PoolID", kAgentConfiguration, K::Text, 0, kReadOnly, P::Count},
    {P::OPERATION_TYPE, L"OPERATION_TYPE", kQuorvelAgent, K::Text, 0, kReadOnly, P::Count},
    {P::MachinePwd, L"MachinePwd", kAgentConfiguration, K::Number, 0, w::kZero, P::Count},
    {P::VmForked, L"VmForked", kNga, K::Flag, 0, kSetOneZero, P::Count},
    {P::CloneSysprepCompleted, L"CloneSysprepCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneSysprepGeneralizeCompleted, L"CloneSysprepGeneralizeCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneSysprepSpecializeCompleted, L"CloneSysprepSpecializeCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneSysprepOobeCompleted, L"CloneSysprepOobeCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneFastRefreshCompleted, L"CloneFastRefreshCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::TemplateJoinedDomain, L"TemplateJoinedDomain", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneJoinedDomain, L"CloneJoinedDomain", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneJoinedDomainWithNetJoinDomain, L"CloneJoinedDomainWithNetJoinDomain", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::DomainJoinRebootCount, L"DomainJoinRebootCount", kGa, K::Number, 0, kSetAny, P::Count},
    {P::PreVerifyTrustReboots, L"PreVerifyTrustReboots", kGa, K::Number, 0, kSetAny, P::MaxPreVerifyTrustReboots},
    {P::MaxPreVerifyTrustReboots, L"MaxPreVerifyTrustReboots", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::VerifyTrustFailedReboots, L"VerifyTrustFailedReboots", kGa, K::Number, 0, kSetAny,
     P::MaxVerifyTrustFailedReboots},
    {P::MaxVerifyTrustFailedReboots, L"MaxVerifyTrustFailedReboots", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::NetJoinDomainAttempts, L"NetJoinDomainAttempts", kGa, K::Number, 0, kSetAny, P::MaxNetJoinDomainAttempts},
    {P::MaxNetJoinDomainAttempts, L"MaxNetJoinDomainAttempts", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::SkipCloneprepDomainJoin, L"SkipCloneprepDomainJoin", kGa, K::Flag, 0, kReadOnly, P::Count},
    {P::PostNetlogonStartDelay, L"PostNetlogonStartDelay", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::TemplateMachinePasswordChanged, L"TemplateMachinePasswordChanged", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneMachinePasswordChanged, L"CloneMachinePasswordChanged", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ChangeTemplateMachinePassword, L"ChangeTemplateMachinePassword", kGa, K::Flag, 0, kReadOnly, P::Count},
    {P::ChangeCloneMachinePassword, L"ChangeCloneMachinePassword", kGa, K::Flag, 0, kReadOnly, P::Count},
    {P::SecureMachinePwdInfoDisabled, L"SecureMachinePwdInfoDisabled", kGa, K::Flag, 0, kReadOnly, P::Count},
    {P::MachinePwdInfoSecured, L"MachinePwdInfoSecured", kGa, K::Flag, 0, kSetOneTwo, P::Count},
    {P::TemplateRenamed, L"TemplateRenamed", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ParentRenamed, L"ParentRenamed", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneRenamed, L"CloneRenamed", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneRebooted, L"CloneRebooted", kNga, K::Flag, 0, kSetOne, P::Count},
    {P::TemplateRebooted, L"TemplateRebooted", kNga, K::Flag, 0, kSetOne, P::Count},
    {P::ReplicaRebooted, L"ReplicaRebooted", kNga, K::Flag, 0, kSetOne, P::Count},
    {P::TemplateShutdownNeeded, L"TemplateShutdownNeeded", kGa, K::Flag, 0, kSetOneZero, P::Count},
    {P::CloneShutdown, L"CloneShutdown", kGa, K::Flag, 0, kSetOneZero, P::Count},
    {P::CloneMacAddressReset, L"CloneMacAddressReset", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::GoldenImageMacAddress, L"GoldenImageMacAddress", kGa, K::Text, 0, kSetAny, P::Count},
    {P::IpReleaseOnShutdown, L"IpReleaseOnShutdown", kGa, K::Number, 1, kReadOnly, P::Count},
    {P::IpRenewed, L"IpRenewed", kGa, K::Flag, 0, kSetOneZero, P::Count},
    {P::IPv6Enabled, L"IPv6Enabled", kGa, K::Flag, 1, kReadOnly, P::Count},
    {P::DisableDhcpService, L"DisableDhcpService", kGa, K::Flag, 1, kReadOnly, P::Count},
    {P::GPUpdateEnabledOnClone, L"GPUpdateEnabledOnClone", kGa, K::Flag, 1, kReadOnly, P::Count},
    {P::GPUpdateEnabledOnIT, L"GPUpdateEnabledOnIT", kGa, K::Flag, 1, kReadOnly, P::Count},
    {P::PostCustomizationScriptDisabled, L"PostCustomizationScriptDisabled", kGa, K::Flag, 0, kReadOnly, P::Count},
    {P::ScriptsSecured, L"ScriptsSecured", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::PostCustScriptSecured, L"PostCustScriptSecured", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::PreShutdownScriptSecured, L"PreShutdownScriptSecured", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::PostCustScriptConfigured, L"PostCustScriptConfigured", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::PreShutdownScriptConfigured, L"PreShutdownScriptConfigured", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ScriptLogOutput, L"ScriptLogOutput", kGa, K::Flag, 1, kReadOnly, P::Count},
    {P::TemplateCustomization, L"TemplateCustomization", kGa, K::Flag, 0, kSetOneTwo, P::Count},
    {P::TemplateDomainJoinFinished, L"TemplateDomainJoinFinished", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ITCustomizationStartTimeSet, L"ITCustomizationStartTimeSet", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::CloneCustomizationCompleted, L"CloneCustomizationCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ReplicaCustomizationCompleted, L"ReplicaCustomizationCompleted", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ClonePreIntegrationValuesParsed, L"ClonePreIntegrationValuesParsed", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ClonePostIntegrationValuesParsed, L"ClonePostIntegrationValuesParsed", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::ProfilesRedirected, L"ProfilesRedirected", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::PersistentDisksReady, L"PersistentDisksReady", kGa, K::Flag, 0, kSetOne, P::Count},
    {P::NLFlagsDisabled, L"NLFlagsDisabled", kGa, K::ZeroFlag, 0, kReadOnly, P::Count},
    {P::ServiceNotifyEnabled, L"ServiceNotifyEnabled", kGa, K::Flag, 1, kReadOnly, P::Count},
    // The service-control settings have no default of their own: each caller passes its own.
    {P::ServiceNotifyMaxRestarts, L"ServiceNotifyMaxRestarts", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::ServiceNotifyStartDelay, L"ServiceNotifyStartDelay", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::ServiceMaxRetries, L"ServiceMaxRetries", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::ServiceRetryDelay, L"ServiceRetryDelay", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::ServiceShutdownDelay, L"ServiceShutdownDelay", kGa, K::Number, 0, kReadOnly, P::Count},
    {P::PolicyState, L"PolicyState", kService, K::Number, kPolicyStateAbsent, kSetAny, P::Count},
}};

constexpr bool TableIsInOrder() {
  for (size_t i = 0; i < kTable.size(); ++i) {
    if (static_cast<size_t>(kTable[i].id) != i) return false;
  }
  return true;
}
static_assert(TableIsInOrder(), "the persistent value table must follow the order of Persisted");

bool MayWrite(const PersistedValueInfo& info, uint32_t value) {
  if ((info.writes & w::kAny) != 0) return true;
  switch (value) {
    case 0:
      return (info.writes & w::kZero) != 0;
    case 1:
      return (info.writes & w::kOne) != 0;
    case 2:
      return (info.writes & w::kTwo) != 0;
    default:
      return false;
  }
}

bool IsDword(const PersistedValueInfo& info) { return info.kind != K::Text; }

}  // namespace

std::span<const PersistedValueInfo> AllPersistedValues() { return kTable; }

const PersistedValueInfo& DescribePersisted(Persisted id) {
  size_t index = static_cast<size_t>(id);
  return kTable[index < kTable.size() ? index : 0];
}

CustomizationPersistentInfo* CustomizationPersistentInfo::Instance() {
  return CustomizationPersistentInfoReg::Instance();
}

CustomizationPersistentInfoReg::CustomizationPersistentInfoReg() : registry_(Registry::Instance()) {
  if (!ValidateParentKeys()) {
    Log(LogLevel::Warn,
        L"tamber::core::util::CustomizationPersistentInfoReg::CustomizationPersistentInfoReg(): Parent Key Validation Failed");
  }
  Log(LogLevel::Trace,
      L"tamber::core::util::CustomizationPersistentInfoReg::CustomizationPersistentInfoReg(): Opened guest registry key for accessing customization info.");
}

CustomizationPersistentInfoReg::~CustomizationPersistentInfoReg() = default;

uint32_t CustomizationPersistentInfoReg::ReadDword(const PersistedValueInfo& info, uint32_t defaultValue) {
  uint32_t value = defaultValue;
  // A read that fails for any reason counts as absent.
  if (registry_->GetValue(info.name, &defaultValue, &value, info.key) < 0) value = defaultValue;
  return value;
}

bool CustomizationPersistentInfoReg::Is(Persisted id) {
  const auto& info = DescribePersisted(id);
  switch (info.kind) {
    case K::Flag:
      return ReadDword(info, info.defaultValue) == 1;
    case K::ZeroFlag:
      return ReadDword(info, info.defaultValue) == 0;
    default:
      Log(LogLevel::Error, L"tamber::core::util::CustomizationPersistentInfoReg::Is(): %ws Is Not A Flag", info.name);
      return false;
  }
}

bool CustomizationPersistentInfoReg::IsValue(Persisted id, uint32_t expected) {
  const auto& info = DescribePersisted(id);
  return IsDword(info) && ReadDword(info, info.defaultValue) == expected;
}

uint32_t CustomizationPersistentInfoReg::Get(Persisted id) { return Get(id, DescribePersisted(id).defaultValue); }

uint32_t CustomizationPersistentInfoReg::Get(Persisted id, uint32_t callerDefault) {
  const auto& info = DescribePersisted(id);
  if (!IsDword(info)) {
    Log(LogLevel::Error, L"tamber::core::util::CustomizationPersistentInfoReg::Get(): %ws Is Not A Number", info.name);
    return callerDefault;
  }
  return ReadDword(info, callerDefault);
}

int32_t CustomizationPersistentInfoReg::Set(Persisted id, uint32_t value) {
  const auto& info = DescribePersisted(id);
  // The table says which numbers each marker takes; anything else is a slip in the calling step.
  if (!IsDword(info) || !MayWrite(info, value)) {
    Log(LogLevel::Error, L"tamber::core::util::CustomizationPersistentInfoReg::Set(): %ws May Not Be Set To %u",
        info.name, value);
    return kEInvalidArg;
  }
  return registry_->SetValue(info.name, value, info.key);
}

int32_t CustomizationPersistentInfoReg::Increment(Persisted id) {
  const auto& info = DescribePersisted(id);
  return Set(id, ReadDword(info, info.defaultValue) + 1);
}

bool CustomizationPersistentInfoReg::IsBelowLimit(Persisted counter) {
  const auto& info = DescribePersisted(counter);
  if (info.limit == P::Count) return false;
  uint32_t maximum = Get(info.limit);
  return maximum != 0 && Get(counter) < maximum;
}

int32_t CustomizationPersistentInfoReg::GetText(Persisted id, std::wstring* value) {
  if (value == nullptr) return kEInvalidArg;
  value->clear();
  const auto& info = DescribePersisted(id);
  if (info.kind != K::Text) return kEInvalidArg;
  int32_t result = registry_->GetValue(info.name, value, info.key);
  if (result < 0) value->clear();
  return result;
}

int32_t CustomizationPersistentInfoReg::SetText(Persisted id, const std::wstring& value) {
  const auto& info = DescribePersisted(id);
  if (info.kind != K::Text || (info.writes & w::kAny) == 0) {
    Log(LogLevel::Error, L"tamber::core::util::CustomizationPersistentInfoReg::SetText(): %ws May Not Be Set",
        info.name);
    return kEInvalidArg;
  }
  return registry_->SetValue(info.name, value, info.key);
}

int32_t CustomizationPersistentInfoReg::GetGuestInfoMirror(const std::wstring& name, std::wstring* value) {
  if (value == nullptr) return kEInvalidArg;
  value->clear();
  int32_t result = registry_->GetValue(name, value, kGuestInfo);
  if (result < 0) value->clear();
  return result;
}

int32_t CustomizationPersistentInfoReg::SetGuestInfoMirror(const std::wstring& name, const std::wstring& value) {
  return registry_->SetValue(name, value, kGuestInfo);
}

int32_t CustomizationPersistentInfoReg::FlushKeys() {
  for (RegistryType type : {kService, kGa, kNga, kGuestInfo, kSystemSetup, kNodeManager}) registry_->FlushKey(type);
  Log(LogLevel::Debug, L"tamber::core::util::CustomizationPersistentInfoReg::FlushKeys(): Registry Keys Flushed");
  return 0;
}

int32_t CustomizationPersistentInfoReg::MarkCloneShutdownDone() {
  int32_t result = Set(P::CloneShutdown, 0);
  Log(LogLevel::Debug,
      L"tamber::core::util::CustomizationPersistentInfoReg::MarkCloneShutdownDone(): Marked Clone Shutdown Done. About To Shutdown");
  return result;
}

int32_t CustomizationPersistentInfoReg::SetPolicyState(uint32_t code, uint32_t notifyStatus, bool force) {
  if (!force) {
    uint32_t stored = Get(P::PolicyState);
    if (stored != 0 && stored != kPolicyStateAbsent) return 0;  // the first error stays
  }
  int32_t result = Set(P::PolicyState, code);
  NotifyHaldenAgent notify;
  if (notifyStatus == kNotifySucceeded) {
    notify.MarkCustomizationSucceeded();
  } else {
    notify.MarkCustomizationFailed();
  }
  return result;
}

bool CustomizationPersistentInfoReg::ValidateParentKeys() {
  using common::windows::registry::ExistingRegKey;
  using common::windows::registry::NewRegKey;
  const platform::HKey root = platform::HKeyLocalMachine();
  const std::wstring software = L"SOFTWARE";
  int32_t result = 0;
  ExistingRegKey softwareKey(root, software, platform::kKeyRead, &result);
  if (result != 0) {
    Log(LogLevel::Error,
        L"tamber::core::util::CustomizationPersistentInfoReg::ValidateParentKeys(): Failed Opening Key: %ws, 0x%X",
        software, static_cast<uint32_t>(result));
    return false;
  }
  const std::wstring agent = L"SOFTWARE\\Talvora\\Quorvel\\Velocyn Agent";
  for (const std::wstring& path : {std::wstring(L"SOFTWARE\\Talvora"), std::wstring(L"SOFTWARE\\Talvora\\Quorvel"),
                                   agent, agent + L"\\ga", agent + L"\\nga"}) {
    // A quiet probe: a missing key is expected here, not an error to log.
    platform::HKey probe = nullptr;
    if (platform::RegOpenKeyEx(root, path.c_str(), 0, platform::kKeyRead, &probe) == platform::kErrorSuccess) {
      platform::RegCloseKey(probe);
      continue;
    }
    NewRegKey created(root, path, platform::kRegOptionNonVolatile, platform::kKeyAllAccess, &result);
    if (result != 0) {
      Log(LogLevel::Error,
          L"tamber::core::util::CustomizationPersistentInfoReg::ValidateParentKeys(): Failed Opening Key: %ws, 0x%X",
          path, static_cast<uint32_t>(result));
      return false;
    }
  }
  return true;
}

}  // namespace tamber::core::util
