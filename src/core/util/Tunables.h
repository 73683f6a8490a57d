// The agent's tunable settings: every DWORD that changes its timing or behaviour, with the key it lives
// in and its default. The table is the one place these facts are kept.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/util/Registry.h"

namespace tamber::core::util {

enum class Tunable {
  // Service key (registry type 0), read each time the step runs.
  PollingIpRetries,
  RenewIPRetries,
  RenewIPDelayIT,
  RenewIPDelayClone,
  SyncTimeRetries,
  SyncTimeDelay,
  TrustVerifyRetries,
  TrustVerifyDelay,
  DomainJoinRetries,
  DomainJoinRebootDelay,
  PwdChangeRetries,
  PwdChangeIpv6Delay,
  ExecScriptTimeout,
  SysprepMaxWaitTime,
  // "ga" key (registry type 1).
  ServiceShutdownDelay,
  ServiceNotifyEnabled,
  ServiceNotifyMaxRestarts,
  ServiceNotifyStartDelay,
  ServiceMaxRetries,
  ServiceRetryDelay,
  PostNetlogonStartDelay,
  MaxNetJoinDomainAttempts,
  MaxPreVerifyTrustReboots,
  MaxVerifyTrustFailedReboots,
  DisableDhcpService,
  IpReleaseOnShutdown,
  IPv6Enabled,
  GPUpdateEnabledOnClone,
  GPUpdateEnabledOnIT,
  ScriptLogOutput,
  NLFlagsDisabled,
  PostCustomizationScriptDisabled,
  SecureMachinePwdInfoDisabled,
};

// How a stored number is read.
enum class TunableKind {
  Number,  // used as it stands
  Flag,    // true only when the stored number is exactly 1; any other number, 2 included, is false
};

// Which of a setting's defaults applies.
enum class TunableDefaultRule {
  Fixed,          // defaults[0]
  ByIpv6,         // defaults[0] otherwise, defaults[1] when the network step works on IPv6
  BySysprepPhase  // defaults[generalize, specialize, out-of-box experience]
};

enum class SysprepPhase { Generalize = 0, Specialize = 1, Oobe = 2 };

struct TunableInfo {
  Tunable id;
  const wchar_t* name;
  RegistryType key;
  TunableKind kind;
  TunableDefaultRule rule;
  uint32_t defaults[3];
};

// What a default may depend on.
struct TunableContext {
  bool networkUsesIpv6 = false;  // the network step's chosen protocol
  SysprepPhase sysprepPhase = SysprepPhase::Generalize;
};

std::span<const TunableInfo> AllTunables();
const TunableInfo& DescribeTunable(Tunable tunable);
uint32_t TunableDefault(Tunable tunable, const TunableContext& context = {});

// String settings.
constexpr const wchar_t* kNlFlagName = L"NlFlag";                    // in the service key
constexpr const wchar_t* kNlFlagDefault = L"0x2fffffff";             // the Netlogon debug flags wanted
constexpr const wchar_t* kIpProtocolUsageName = L"IpProtocolUsage";  // outside the key map, opened directly
constexpr const wchar_t* kIpProtocolUsageKeyPath = L"Software\\Talvora\\Quorvel";

// Reads the settings through the key map; a missing value (or any failed read) gives the default.
class Tunables {
 public:
  explicit Tunables(Registry* registry = Registry::Instance()) : registry_(registry) {}

  uint32_t Get(Tunable tunable, const TunableContext& context = {}) const;
  // The same, with the caller's own default in place of the table's.
  uint32_t GetWithDefault(Tunable tunable, uint32_t defaultValue) const;
  // A Flag setting: true only when exactly 1.
  bool IsEnabled(Tunable tunable) const;

  uint32_t TrustVerifyDelay(bool networkUsesIpv6) const {
    return Get(Tunable::TrustVerifyDelay, TunableContext{networkUsesIpv6, SysprepPhase::Generalize});
  }
  uint32_t SysprepMaxWaitTime(SysprepPhase phase) const {
    return Get(Tunable::SysprepMaxWaitTime, TunableContext{false, phase});
  }

 private:
  Registry* registry_;
};

}  // namespace tamber::core::util
