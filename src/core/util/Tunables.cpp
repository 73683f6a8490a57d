#include "core/util/Tunables.h"

#include <array>

namespace tamber::core::util {
namespace {

using K = TunableKind;
using R = TunableDefaultRule;
constexpr RegistryType kSvc = regtype::kService;
constexpr RegistryType kGa = regtype::kGa;

// In the order of the Tunable enumeration.
constexpr std::array<TunableInfo, 33> kTunables = {{
    {Tunable::PollingIpRetries, L"PollingIpRetries", kSvc, K::Number, R::Fixed, {5}},
    {Tunable::RenewIPRetries, L"RenewIPRetries", kSvc, K::Number, R::Fixed, {5}},
    {Tunable::RenewIPDelayIT, L"RenewIPDelayIT", kSvc, K::Number, R::Fixed, {15000}},
    {Tunable::RenewIPDelayClone, L"RenewIPDelayClone", kSvc, K::Number, R::Fixed, {15000}},
    {Tunable::SyncTimeRetries, L"SyncTimeRetries", kSvc, K::Number, R::Fixed, {5}},
    {Tunable::SyncTimeDelay, L"SyncTimeDelay", kSvc, K::Number, R::Fixed, {1000}},
    {Tunable::TrustVerifyRetries, L"TrustVerifyRetries", kSvc, K::Number, R::Fixed, {5}},
    {Tunable::TrustVerifyDelay, L"TrustVerifyDelay", kSvc, K::Number, R::ByIpv6, {1000, 5000}},
    {Tunable::DomainJoinRetries, L"DomainJoinRetries", kSvc, K::Number, R::Fixed, {10}},
    {Tunable::DomainJoinRebootDelay, L"DomainJoinRebootDelay", kSvc, K::Number, R::Fixed, {10000}},
    {Tunable::PwdChangeRetries, L"PwdChangeRetries", kSvc, K::Number, R::Fixed, {5}},
    {Tunable::PwdChangeIpv6Delay, L"PwdChangeIpv6Delay", kSvc, K::Number, R::Fixed, {20000}},
    {Tunable::ExecScriptTimeout, L"ExecScriptTimeout", kSvc, K::Number, R::Fixed, {20000}},
    {Tunable::SysprepMaxWaitTime,
     L"SysprepMaxWaitTime",
     kSvc,
     K::Number,
     R::BySysprepPhase,
     {600000, 3600000, 1800000}},
    {Tunable::ServiceShutdownDelay, L"ServiceShutdownDelay", kGa, K::Number, R::Fixed, {300000}},
    {Tunable::ServiceNotifyEnabled, L"ServiceNotifyEnabled", kGa, K::Flag, R::Fixed, {1}},
    {Tunable::ServiceNotifyMaxRestarts, L"ServiceNotifyMaxRestarts", kGa, K::Number, R::Fixed, {3}},
    {Tunable::ServiceNotifyStartDelay, L"ServiceNotifyStartDelay", kGa, K::Number, R::Fixed, {10000}},
    {Tunable::ServiceMaxRetries, L"ServiceMaxRetries", kGa, K::Number, R::Fixed, {3}},
    {Tunable::ServiceRetryDelay, L"ServiceRetryDelay", kGa, K::Number, R::Fixed, {10000}},
    {Tunable::PostNetlogonStartDelay, L"PostNetlogonStartDelay", kGa, K::Number, R::Fixed, {0}},
    {Tunable::MaxNetJoinDomainAttempts, L"MaxNetJoinDomainAttempts", kGa, K::Number, R::Fixed, {0}},
    {Tunable::MaxPreVerifyTrustReboots, L"MaxPreVerifyTrustReboots", kGa, K::Number, R::Fixed, {0}},
    {Tunable::MaxVerifyTrustFailedReboots, L"MaxVerifyTrustFailedReboots", kGa, K::Number, R::Fixed, {0}},
    {Tunable::DisableDhcpService, L"DisableDhcpService", kGa, K::Flag, R::Fixed, {1}},
    {Tunable::IpReleaseOnShutdown, L"IpReleaseOnShutdown", kGa, K::Number, R::Fixed, {1}},
    {Tunable::IPv6Enabled, L"IPv6Enabled", kGa, K::Flag, R::Fixed, {1}},
    {Tunable::GPUpdateEnabledOnClone, L"GPUpdateEnabledOnClone", kGa, K::Flag, R::Fixed, {1}},
    {Tunable::GPUpdateEnabledOnIT, L"GPUpdateEnabledOnIT", kGa, K::Flag, R::Fixed, {1}},
    {Tunable::ScriptLogOutput, L"ScriptLogOutput", kGa, K::Flag, R::Fixed, {1}},
    // Netlogon flags are applied only while this number is 0: a number, not a flag.
    {Tunable::NLFlagsDisabled, L"NLFlagsDisabled", kGa, K::Number, R::Fixed, {0}},
    {Tunable::PostCustomizationScriptDisabled, L"PostCustomizationScriptDisabled", kGa, K::Flag, R::Fixed, {0}},
    {Tunable::SecureMachinePwdInfoDisabled, L"SecureMachinePwdInfoDisabled", kGa, K::Flag, R::Fixed, {0}},
}};

constexpr bool TableMatchesEnumeration() {
  for (size_t i = 0; i < kTunables.size(); ++i) {
    if (static_cast<size_t>(kTunables[i].id) != i) return false;
  }
  return static_cast<size_t>(Tunable::SecureMachinePwdInfoDisabled) + 1 == kTunables.size();
}
static_assert(TableMatchesEnumeration(), "one row per tunable, in enumeration order");

}  // namespace

std::span<const TunableInfo> AllTunables() { return kTunables; }

const TunableInfo& DescribeTunable(Tunable tunable) { return kTunables[static_cast<size_t>(tunable)]; }

uint32_t TunableDefault(Tunable tunable, const TunableContext& context) {
  const auto& info = DescribeTunable(tunable);
  switch (info.rule) {
    case TunableDefaultRule::ByIpv6:
      return info.defaults[context.networkUsesIpv6 ? 1 : 0];
    case TunableDefaultRule::BySysprepPhase:
      return info.defaults[static_cast<size_t>(context.sysprepPhase)];
    case TunableDefaultRule::Fixed:
      break;
  }
  return info.defaults[0];
}

uint32_t Tunables::Get(Tunable tunable, const TunableContext& context) const {
  return GetWithDefault(tunable, TunableDefault(tunable, context));
}

uint32_t Tunables::GetWithDefault(Tunable tunable, uint32_t defaultValue) const {
  uint32_t value = defaultValue;
  // A failed read has already logged why; the setting falls back to its default.
  if (registry_ == nullptr ||
      registry_->GetValue(DescribeTunable(tunable).name, &defaultValue, &value, DescribeTunable(tunable).key) != 0) {
    return defaultValue;
  }
  return value;
}

bool Tunables::IsEnabled(Tunable tunable) const { return Get(tunable) == 1; }

}  // namespace tamber::core::util
