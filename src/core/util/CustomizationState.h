// How far the customization has got, told to the hypervisor (role-prefixed guestinfo variables), to the
// sibling desktop agent (NotifyHaldenStatusValue) and to the registry (PolicyState and the integration
// values); and the error codes with their descriptions.
#pragma once

#include <cstdint>
#include <string>

#include "core/util/GuestInfo.h"
#include "core/util/Singleton.h"

namespace tamber::core::util {

// Status texts.
namespace status {
inline constexpr const char* kRunning = "running";
inline constexpr const char* kSnapshotting = "snapshotting";
inline constexpr const char* kPostSnapshotting = "postSnapshotting";
inline constexpr const char* kSuccess = "success";
inline constexpr const char* kError = "error";
// Written by the sysprep flows; "oobe" is only ever read.
inline constexpr const char* kCustomizationBegin = "CustomizationBegin";
inline constexpr const char* kSpecialize = "specialize";
inline constexpr const char* kOobe = "oobe";
}  // namespace status

// The role-prefixed guestinfo variables of the status.
inline constexpr const char* kCustomizationStateVariable = "CustomizationState";
inline constexpr const char* kCustomizationErrorCategoryVariable = "CustomizationErrorCategory";
inline constexpr const char* kCustomizationErrorDescVariable = "CustomizationErrorDesc";
inline constexpr const char* kCustomizationErrorCodeVariable = "CustomizationErrorCode";

class CustomizationState : public Singleton<CustomizationState> {
 public:
  virtual ~CustomizationState();

  // True once a status has been written in this process. An error after a result ("success" or an
  // earlier "error") is only logged: the first result stays what the management side was told. An error
  // after a progress status ("running", "snapshotting", ...) is written, or a failure that the flavour
  // reports with its own code would never leave the machine.
  virtual bool IsSet();
  virtual void SetIsSet(bool isSet);
  // The role-prefixed CustomizationState variable.
  virtual bool GetCustomizationState(std::string* status);
  virtual bool SetCustomizationState(const std::string& status, uint32_t policyState, const std::string& category,
                                     const std::string& description, int32_t hresult);
  // The description is that of errorCode, which is also the policy state.
  virtual bool SetCustomizationState(const std::string& status, uint32_t errorCode, const std::string& category,
                                     int32_t hresult);
  virtual bool SetErrorStatusValues(const std::string& category, const std::string& description, int32_t hresult);
  virtual std::wstring GetDescription(uint32_t errorCode);

 protected:
  CustomizationState() = default;

 private:
  friend class Singleton<CustomizationState>;

  std::string RoleVariable(const char* suffix);

  GuestInfo guestInfo_;
  bool isSet_ = false;
  bool resultSet_ = false;  // "success" or "error" written in this process
};

// The status value the sibling desktop agent watches (NotifyHaldenStatusValue in the service key).
// Not a singleton: made on the stack where needed.
class NotifyHaldenAgent {
 public:
  static constexpr const wchar_t* kValueName = L"NotifyHaldenStatusValue";
  enum Value : uint32_t {
    kCustomizationInProgress = 1,
    kWaitForCheckpointing = 2,
    kCustomizationPostCheckpointing = 3,
    kCustomizationSucceeded = 4,
    kCustomizationFailed = 5,
  };

  virtual ~NotifyHaldenAgent() = default;

  virtual int32_t GetStatus(uint32_t* value);
  // True when the value reads and is 0.
  virtual bool IsStatusCleared();
  virtual int32_t MarkCustomizationInProgress();
  virtual int32_t MarkWaitForCheckpointing();
  virtual int32_t MarkCustomizationPostCheckpointing();
  virtual int32_t MarkCustomizationSucceeded();
  virtual int32_t MarkCustomizationFailed();
};

}  // namespace tamber::core::util
