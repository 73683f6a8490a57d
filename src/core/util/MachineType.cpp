#include "core/util/MachineType.h"

#include "common/util/StringConverter.h"
#include "core/util/AgentHelperWrapper.h"
#include "core/util/CustomizationFlags.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/Support.h"
#include "framework/log/Log.h"

namespace tamber::core::util {

const char* MachineTypeText(MachineTypeCode code) {
  switch (code) {
    case machine::kMaster:
      return "master";
    case machine::kInternalTemplate:
      return "it";
    case machine::kReplica:
      return "replica";
    case machine::kParent:
      return "parent";
    case machine::kClone:
      return "clone";
    default:
      return "unknown";
  }
}

MachineType::MachineType() {
  // The sources ask the singleton afresh each time, so they stay right when tests replace it.
  GuestInfoContext::SetRoleTextSource([] { return MachineType::Instance()->GetMachineTypeText(); });
  Support::Instance()->SetRolePrefixSource([] { return MachineType::Instance()->GetMachineTypeTextW(); });
}

// Without the role the default guestinfo context answers "unknown" again.
MachineType::~MachineType() { GuestInfoContext::SetRoleTextSource(nullptr); }

MachineTypeCode MachineType::GetMachineType() {
  if (code_ != machine::kUndetermined) return code_;
  code_ = CustomizationPersistentInfo::Instance()->IsGoldenImage() ? DecideGoldenImage() : DecideFromGuestInfo();
  return code_;
}

MachineTypeCode MachineType::DecideGoldenImage() {
  auto* info = CustomizationPersistentInfo::Instance();
  std::wstring saved;
  info->GetText(Persisted::GoldenImageMacAddress, &saved);
  std::wstring current = AgentHelperWrapper::Instance()->GetCurrentMacAddress();
  if (saved.empty()) {
    info->SetText(Persisted::GoldenImageMacAddress, current);
    Log(LogLevel::Debug,
        L"tamber::core::util::MachineType::GetMachineType(): Saved master/golden image mac address: %ws", current);
    saved = current;
  }
  // The golden image keeps its adapters; a machine made from its disk has new ones.
  if (saved == current) return machine::kMaster;
  return info->IsValue(Persisted::TemplateCustomization, 2) ? machine::kClone : machine::kInternalTemplate;
}

MachineTypeCode MachineType::DecideFromGuestInfo() {
  if (!guestInfo_.IsGuestInfoVmStateSet(kNgaForkVariable)) {
    if (guestInfo_.IsGuestInfoVmStateSet(kItVariable)) return machine::kInternalTemplate;
    if (guestInfo_.IsGuestInfoVmStateSet(kReplicaVariable)) return machine::kReplica;
    return machine::kMaster;
  }
  if (guestInfo_.IsGuestInfoVmStateSet(kForkedVariable)) {
    // Forked, but the boot-time agent has not said so yet: ask again on the next call.
    return CustomizationPersistentInfo::Instance()->Is(Persisted::VmForked) ? machine::kClone : machine::kUndetermined;
  }
  if (guestInfo_.IsGuestInfoVmStateSet(kReplicaVariable)) return machine::kReplica;
  if (guestInfo_.IsGuestInfoVmStateSet(kItVariable)) return machine::kInternalTemplate;
  return machine::kParent;
}

void MachineType::SetMachineType(MachineTypeCode code) { code_ = code; }

std::string MachineType::GetMachineTypeText() { return MachineTypeText(GetMachineType()); }

std::wstring MachineType::GetMachineTypeTextW() {
  return common::i18n::StringConverter::Utf8ToWString(GetMachineTypeText());
}

bool MachineType::IsMaster() { return GetMachineType(), code_ == machine::kMaster; }
bool MachineType::IsReplica() { return GetMachineType(), code_ == machine::kReplica; }
bool MachineType::IsIT() { return GetMachineType(), code_ == machine::kInternalTemplate; }
bool MachineType::IsParent() { return GetMachineType(), code_ == machine::kParent; }
bool MachineType::IsClone() { return GetMachineType(), code_ == machine::kClone; }

// ---- CustomizationType --------------------------------------------------------------------------

CustomizationType::~CustomizationType() = default;

CustomizationTypeCode CustomizationType::GetCustomizationType() {
  if (code_ != customization::kUndetermined) return code_;
  if (CustomizationPersistentInfo::Instance()->IsGoldenImage()) {
    code_ = customization::kUniversalprep;
  } else if (CustomizationFlags::Instance()->IsFlagSet(flag::kSysprep)) {
    code_ = customization::kSysprep;
  } else {
    code_ = customization::kCloneprep;
  }
  return code_;
}

bool CustomizationType::IsCloneprep() { return GetCustomizationType() == customization::kCloneprep; }
bool CustomizationType::IsSysprep() { return GetCustomizationType() == customization::kSysprep; }
bool CustomizationType::IsUniversalprep() { return GetCustomizationType() == customization::kUniversalprep; }
bool CustomizationType::IsFastRefresh() { return CustomizationFlags::Instance()->IsFlagSet(flag::kFastRefresh); }
bool CustomizationType::IsSysprepDomainJoin() {
  return CustomizationFlags::Instance()->IsFlagSet(flag::kSysprepDomainJoin);
}

}  // namespace tamber::core::util
