// What the agent remembers across reboots: one DWORD or string value per finished step or setting,
// each in the key of its registry type. The table in CustomizationPersistentInfo.cpp is the one place
// where every value's name, key, type and default are kept; the accessors below work from it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/util/Registry.h"
#include "core/util/Singleton.h"

namespace tamber::core::util {

// Every persistent value, in the order of the table.
enum class Persisted : uint16_t {
  GoldenImage,
  PoolID,
  OPERATION_TYPE,
  MachinePwd,
  VmForked,
  CloneSysprepCompleted,
  CloneSysprepGeneralizeCompleted,
  CloneSysprepSpecializeCompleted,
  CloneSysprepOobeCompleted,
  CloneFastRefreshCompleted,
  TemplateJoinedDomain,
  CloneJoinedDomain,
  CloneJoinedDomainWithNetJoinDomain,
  DomainJoinRebootCount,
  PreVerifyTrustReboots,
  MaxPreVerifyTrustReboots,
  VerifyTrustFailedReboots,
  MaxVerifyTrustFailedReboots,
  NetJoinDomainAttempts,
  MaxNetJoinDomainAttempts,
  SkipCloneprepDomainJoin,
  PostNetlogonStartDelay,
  TemplateMachinePasswordChanged,
  CloneMachinePasswordChanged,
  ChangeTemplateMachinePassword,
  ChangeCloneMachinePassword,
  SecureMachinePwdInfoDisabled,
  MachinePwdInfoSecured,
  TemplateRenamed,
  ParentRenamed,
  CloneRenamed,
  CloneRebooted,
  TemplateRebooted,
  ReplicaRebooted,
  TemplateShutdownNeeded,
  CloneShutdown,
  CloneMacAddressReset,
  GoldenImageMacAddress,
  IpReleaseOnShutdown,
  IpRenewed,
  IPv6Enabled,
  DisableDhcpService,
  GPUpdateEnabledOnClone,
  GPUpdateEnabledOnIT,
  PostCustomizationScriptDisabled,
  ScriptsSecured,
  PostCustScriptSecured,
  PreShutdownScriptSecured,
  PostCustScriptConfigured,
  PreShutdownScriptConfigured,
  ScriptLogOutput,
  TemplateCustomization,
  TemplateDomainJoinFinished,
  ITCustomizationStartTimeSet,
  CloneCustomizationCompleted,
  ReplicaCustomizationCompleted,
  ClonePreIntegrationValuesParsed,
  ClonePostIntegrationValuesParsed,
  ProfilesRedirected,
  PersistentDisksReady,
  NLFlagsDisabled,
  ServiceNotifyEnabled,
  ServiceNotifyMaxRestarts,
  ServiceNotifyStartDelay,
  ServiceMaxRetries,
  ServiceRetryDelay,
  ServiceShutdownDelay,
  PolicyState,
  Count
};

// How a value is read.
enum class PersistedKind : uint8_t {
  Flag,      // DWORD; Is() is true only when it is exactly 1
  ZeroFlag,  // DWORD; Is() is true when it is 0 (or absent)
  Number,    // DWORD used as it stands
  Text,      // REG_SZ
};

// Which numbers the agent may write to a DWORD value (bits); strings are written when kWriteAny is set.
namespace persisted_write {
constexpr uint8_t kNone = 0;
constexpr uint8_t kZero = 1;  // "set 0"
constexpr uint8_t kOne = 2;   // "Set", "set 1"
constexpr uint8_t kTwo = 4;   // "set 2"
constexpr uint8_t kAny = 8;   // "set n", "increment", strings
}  // namespace persisted_write

struct PersistedValueInfo {
  Persisted id;
  const wchar_t* name;
  RegistryType key;
  PersistedKind kind;
  uint32_t defaultValue;  // when the value is absent or cannot be read
  uint8_t writes;         // persisted_write bits
  Persisted limit;        // the counter's maximum (Count when the value is no counter)
};

std::span<const PersistedValueInfo> AllPersistedValues();
const PersistedValueInfo& DescribePersisted(Persisted id);

// The sibling desktop agent's status values written by SetPolicyState.
constexpr uint32_t kNotifySucceeded = 4;
constexpr uint32_t kNotifyFailed = 5;
// PolicyState as read when it is absent.
constexpr uint32_t kPolicyStateAbsent = 0xFFFFFFFF;

class CustomizationPersistentInfo {
 public:
  // The process-wide instance (CustomizationPersistentInfoReg).
  static CustomizationPersistentInfo* Instance();

  virtual ~CustomizationPersistentInfo() = default;

  // Flag: the value is 1; ZeroFlag: the value is 0; the default applies when it is absent.
  virtual bool Is(Persisted id) = 0;
  // The value equals expected (TemplateCustomization's two stages).
  virtual bool IsValue(Persisted id, uint32_t expected) = 0;
  virtual uint32_t Get(Persisted id) = 0;
  // The same with the caller's default in place of the table's.
  virtual uint32_t Get(Persisted id, uint32_t callerDefault) = 0;
  // Writes value (1 = "Set"); only the numbers the table allows for the value are written.
  virtual int32_t Set(Persisted id, uint32_t value = 1) = 0;
  virtual int32_t Increment(Persisted id) = 0;
  // The may-reboot test of a counter: its maximum is non-zero and the count is below it.
  virtual bool IsBelowLimit(Persisted counter) = 0;
  // Text values; an absent value reads as empty.
  virtual int32_t GetText(Persisted id, std::wstring* value) = 0;
  virtual int32_t SetText(Persisted id, const std::wstring& value) = 0;
  // The golden image's registry mirror of a guestinfo variable.
  virtual int32_t GetGuestInfoMirror(const std::wstring& name, std::wstring* value) = 0;
  virtual int32_t SetGuestInfoMirror(const std::wstring& name, const std::wstring& value) = 0;

  virtual bool IsGoldenImage() { return Is(Persisted::GoldenImage); }

  virtual int32_t FlushKeys() = 0;
  virtual int32_t MarkCloneShutdownDone() = 0;
  // force: always write; otherwise an error code already stored (anything but 0 or absent) stays, and
  // nothing is written or notified. Then tells the sibling agent: notifyStatus 4 succeeded, else failed.
  virtual int32_t SetPolicyState(uint32_t code, uint32_t notifyStatus, bool force) = 0;
  virtual bool ValidateParentKeys() = 0;
};

class CustomizationPersistentInfoReg : public CustomizationPersistentInfo,
                                       public Singleton<CustomizationPersistentInfoReg> {
 public:
  using Singleton<CustomizationPersistentInfoReg>::Instance;

  ~CustomizationPersistentInfoReg() override;

  bool Is(Persisted id) override;
  bool IsValue(Persisted id, uint32_t expected) override;
  uint32_t Get(Persisted id) override;
  uint32_t Get(Persisted id, uint32_t callerDefault) override;
  int32_t Set(Persisted id, uint32_t value = 1) override;
  int32_t Increment(Persisted id) override;
  bool IsBelowLimit(Persisted counter) override;
  int32_t GetText(Persisted id, std::wstring* value) override;
  int32_t SetText(Persisted id, const std::wstring& value) override;
  int32_t GetGuestInfoMirror(const std::wstring& name, std::wstring* value) override;
  int32_t SetGuestInfoMirror(const std::wstring& name, const std::wstring& value) override;
  int32_t FlushKeys() override;
  int32_t MarkCloneShutdownDone() override;
  int32_t SetPolicyState(uint32_t code, uint32_t notifyStatus, bool force) override;
  bool ValidateParentKeys() override;

 protected:
  CustomizationPersistentInfoReg();

 private:
  friend class Singleton<CustomizationPersistentInfoReg>;

  uint32_t ReadDword(const PersistedValueInfo& info, uint32_t defaultValue);

  Registry* registry_;
};

}  // namespace tamber::core::util
