#include "core/util/CustomizationState.h"

#include "common/util/StringConverter.h"
#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "framework/log/Log.h"

namespace tamber::core::util {
namespace {

struct ErrorDescription {
  uint32_t code;
  const wchar_t* text;
};

constexpr ErrorDescription kDescriptions[] = {
    {0, L"Success"},
    {1, L"Failed to set computer name"},
    {2, L"Failed to redirect profiles directory"},
    {3, L"Failed to to set domain password"},
    {4, L"Failed to backup profiles keys"},
    {5, L"Failed to restore profiles keys"},
    {12, L"The specified persistent disk was not found"},
    {13, L"More than one primary persistent disk specified"},
    {14, L"Failed configuring persistent disks"},
    {15, L"Computer name in the policy file does not match the current system"},
    {17, L"Sysprep timeout reached"},
    {18, L"Domain join failed"},
    {19, L"Failed to execute Post-Customization script"},
    {21,
     L"Failed to mount a secondary persistent disk. Please check the parent VM if an existing disk is using the same drive letter."},
    {22,
     L"Failed to mount user profiles persistent disk. Please check the parent VM if an existing disk is using the same drive letter."},
    {23, L"Failed to set the MAC address"},
    {24, L"Failed to update the machine group policy"},
    {26, L"Failed to verify domain trust"},
    {27, L"Failed to obtain valid IP address"},
    {28, L"Failed to restore domain password"},
    {29, L"Failed to change domain password"},
    {30, L"Sysprep customization failed"},
    {31, L"Failed getting CustomizationState"},
    {32, L"Failed to set computer name in NGA"},
    {33, L"Failed setting extra-config value"},
    {0xFFFFFFFF, L"Illegal state"},
};

// The integration values that record a role's outcome for other components.
constexpr const wchar_t* kCloneStateName = L"CustomizationState";                   // AgentIntegration
constexpr const wchar_t* kCloneSuccessfulName = L"IsCloneCustomizationSuccessful";  // External
constexpr const wchar_t* kItStateName = L"ITCustomizationState";
constexpr const wchar_t* kReplicaStateName = L"ReplicaCustomizationState";
constexpr const wchar_t* kParentStateName = L"ParentCustomizationState";

uint32_t Hex(int32_t code) { return static_cast<uint32_t>(code); }

}  // namespace

CustomizationState::~CustomizationState() = default;

bool CustomizationState::IsSet() { return isSet_; }

void CustomizationState::SetIsSet(bool isSet) {
  isSet_ = isSet;
  if (!isSet) resultSet_ = false;
}

std::string CustomizationState::RoleVariable(const char* suffix) {
  std::string name;
  guestInfo_.BuildRoleVariableName(&name, nullptr, suffix);
  return name;
}

std::wstring CustomizationState::GetDescription(uint32_t errorCode) {
  for (const auto& entry : kDescriptions) {
    if (entry.code == errorCode) return entry.text;
  }
  return L"Unknown failure";
}

bool CustomizationState::GetCustomizationState(std::string* status) {
  if (status == nullptr) return false;
  std::string name = RoleVariable(kCustomizationStateVariable);
  if (!guestInfo_.GetValue(name.c_str(), status)) {
    Log(LogLevel::Warn, L"tamber::core::util::CustomizationState::GetCustomizationState(): Failed getting guestinfo.%S",
        name);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::util::CustomizationState::GetCustomizationState(): Got guestinfo.%S: %S", name,
      *status);
  return true;
}

bool CustomizationState::SetCustomizationState(const std::string& status, uint32_t errorCode,
                                               const std::string& category, int32_t hresult) {
  std::string description = common::i18n::StringConverter::ToUtf8String(GetDescription(errorCode));
  auto* machineType = MachineType::Instance();
  Log(LogLevel::Debug,
      L"tamber::core::util::CustomizationState::SetCustomizationState(): Setting Customization State (%S): Status: %S, PolicyState: %d, Category: %S, Description: %S, HRESULT: 0x%X",
      machineType->GetMachineTypeText(), status, static_cast<int32_t>(errorCode), category, description, Hex(hresult));
  return SetCustomizationState(status, errorCode, category, description, hresult);
}

bool CustomizationState::SetCustomizationState(const std::string& status, uint32_t policyState,
                                               const std::string& category, const std::string& description,
                                               int32_t hresult) {
  if (status.empty() || category.empty() || description.empty()) {
    Log(LogLevel::Warn, L"tamber::core::util::CustomizationState::SetCustomizationState(): Invalid Arguments");
    return false;
  }
  auto* machineType = MachineType::Instance();
  if (IsSet() && resultSet_ && status == status::kError) {
    // A result is already out; a later error must not replace what the management side was told.
    Log(LogLevel::Warn,
        L"tamber::core::util::CustomizationState::SetCustomizationState(): IsSet == True (%S): Status: %S, PolicyState: %d, Category: %S, Description: %S, HRESULT: 0x%X",
        machineType->GetMachineTypeText(), status, static_cast<int32_t>(policyState), category, description,
        Hex(hresult));
    return true;
  }
  MachineTypeCode role = machineType->GetMachineType();
  if (role == machine::kInternalTemplate && hresult < 0) SetErrorStatusValues(category, description, hresult);

  std::string name = RoleVariable(kCustomizationStateVariable);
  if (!guestInfo_.SetValue(name.c_str(), status.c_str())) {
    Log(LogLevel::Error,
        L"tamber::core::util::CustomizationState::SetCustomizationState(): Failed setting guestinfo.%S to %S", name,
        status);
    return false;
  }
  Log(LogLevel::Debug, L"tamber::core::util::CustomizationState::SetCustomizationState(): Set guestinfo.%S to %S", name,
      status);

  auto* info = CustomizationPersistentInfo::Instance();
  auto* registry = Registry::Instance();
  const bool success = status == status::kSuccess;
  switch (role) {
    case machine::kClone: {
      NotifyHaldenAgent notify;
      if (success || status == status::kError) {
        info->SetPolicyState(policyState, success ? kNotifySucceeded : kNotifyFailed, /*force=*/true);
        registry->SetValue(kCloneStateName, success ? 1u : 0u, regtype::kAgentIntegration);
        registry->SetValue(kCloneSuccessfulName, success ? 1u : 0u, regtype::kExternal);
      } else if (status == status::kRunning) {
        notify.MarkCustomizationInProgress();
      } else if (status == status::kSnapshotting) {
        notify.MarkWaitForCheckpointing();
      } else if (status == status::kPostSnapshotting) {
        notify.MarkCustomizationPostCheckpointing();
      } else {
        Log(LogLevel::Warn,
            L"tamber::core::util::CustomizationState::SetCustomizationState(): Invalid Status, Cannot Continue");
        return false;
      }
      break;
    }
    case machine::kInternalTemplate:
    case machine::kReplica:
    case machine::kParent: {
      const wchar_t* valueName = role == machine::kInternalTemplate ? kItStateName
                                 : role == machine::kReplica        ? kReplicaStateName
                                                                    : kParentStateName;
      // Only the clone tells the sibling agent of success; for the other roles any status notifies as failed.
      info->SetPolicyState(policyState, success ? 1u : kNotifyFailed, /*force=*/true);
      registry->SetValue(valueName, success ? 1u : 0u, regtype::kAgentIntegration);
      break;
    }
    default:
      Log(LogLevel::Warn,
          L"tamber::core::util::CustomizationState::SetCustomizationState(): Unknown Machine Type, Cannot Set Customization State");
      break;
  }
  SetIsSet(true);
  if (status == status::kSuccess || status == status::kError) resultSet_ = true;
  return true;
}

bool CustomizationState::SetErrorStatusValues(const std::string& category, const std::string& description,
                                              int32_t hresult) {
  if (category.empty() || description.empty()) {
    Log(LogLevel::Warn, L"tamber::core::util::CustomizationState::SetErrorStatusValues(): Invalid Arguments");
    return false;
  }
  bool allWritten = true;
  for (const auto& [suffix, text] : {std::pair{kCustomizationErrorCategoryVariable, &category},
                                     std::pair{kCustomizationErrorDescVariable, &description}}) {
    std::string name = RoleVariable(suffix);
    if (guestInfo_.SetValue(name.c_str(), text->c_str())) {
      Log(LogLevel::Debug, L"tamber::core::util::CustomizationState::SetErrorStatusValues(): Set guestinfo.%S to %S",
          name, *text);
    } else {
      allWritten = false;
      Log(LogLevel::Error,
          L"tamber::core::util::CustomizationState::SetErrorStatusValues(): Failed setting guestinfo.%S to %S", name,
          *text);
    }
  }
  std::string name = RoleVariable(kCustomizationErrorCodeVariable);
  if (guestInfo_.SetValue(name.c_str(), hresult)) {
    Log(LogLevel::Debug, L"tamber::core::util::CustomizationState::SetErrorStatusValues(): Set guestinfo.%S to 0x%X",
        name, Hex(hresult));
  } else {
    allWritten = false;
    Log(LogLevel::Error,
        L"tamber::core::util::CustomizationState::SetErrorStatusValues(): Failed setting guestinfo.%S to 0x%X", name,
        Hex(hresult));
  }
  return allWritten;
}

// ---- NotifyHaldenAgent --------------------------------------------------------------------------

namespace {

// Writes the value and logs the operation's line (format with "%d" for the value); a failed write logs
// the failure instead.
int32_t WriteNotifyStatus(uint32_t value, const wchar_t* logged) {
  int32_t result = Registry::Instance()->SetValue(NotifyHaldenAgent::kValueName, value, regtype::kService);
  if (result < 0) {
    Log(LogLevel::Error,
        L"tamber::core::util::NotifyHaldenAgent::WriteNotifyStatus(): Failed setting NotifyHaldenStatusValue to %d, 0x%X",
        static_cast<int32_t>(value), Hex(result));
    return result;
  }
  Log(LogLevel::Debug, logged, static_cast<int32_t>(value));
  return result;
}

}  // namespace

int32_t NotifyHaldenAgent::GetStatus(uint32_t* value) {
  if (value == nullptr) return common::windows::kEInvalidArg;
  const uint32_t absent = 0;
  return Registry::Instance()->GetValue(kValueName, &absent, value, regtype::kService);
}

bool NotifyHaldenAgent::IsStatusCleared() {
  uint32_t value = 0;
  return GetStatus(&value) >= 0 && value == 0;
}

int32_t NotifyHaldenAgent::MarkCustomizationInProgress() {
  return WriteNotifyStatus(
      kCustomizationInProgress,
      L"tamber::core::util::NotifyHaldenAgent::MarkCustomizationInProgress(): Set NotifyHaldenStatusValue to CustomizationInProgress(%d)");
}

int32_t NotifyHaldenAgent::MarkWaitForCheckpointing() {
  return WriteNotifyStatus(
      kWaitForCheckpointing,
      L"tamber::core::util::NotifyHaldenAgent::MarkWaitForCheckpointing(): Set NotifyHaldenStatusValue to WaitForCheckpointing(%d)");
}

int32_t NotifyHaldenAgent::MarkCustomizationPostCheckpointing() {
  return WriteNotifyStatus(
      kCustomizationPostCheckpointing,
      L"tamber::core::util::NotifyHaldenAgent::MarkCustomizationPostCheckpointing(): Set NotifyHaldenStatusValue to CustomizationPostCheckpointing(%d)");
}

int32_t NotifyHaldenAgent::MarkCustomizationSucceeded() {
  return WriteNotifyStatus(
      kCustomizationSucceeded,
      L"tamber::core::util::NotifyHaldenAgent::MarkCustomizationSucceeded(): Set NotifyHaldenStatusValue to CustomizationSucceeded(%d)");
}

int32_t NotifyHaldenAgent::MarkCustomizationFailed() {
  return WriteNotifyStatus(
      kCustomizationFailed,
      L"tamber::core::util::NotifyHaldenAgent::MarkCustomizationFailed(): Set NotifyHaldenStatusValue to CustomizationFailed(%d)");
}

}  // namespace tamber::core::util
