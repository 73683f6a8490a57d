#include "core/windows/Network.h"

#include "core/util/CustomizationPersistentInfo.h"
#include "core/util/MachineType.h"
#include "core/util/Registry.h"
#include "core/util/Support.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"

namespace tamber::core::windows {

using common::windows::device::IpProtocolUsageText;
using common::windows::device::Util;
using util::Persisted;

Network::Network()
    : persistentInfo_(util::CustomizationPersistentInfo::Instance()),
      machineType_(util::MachineType::Instance()),
      support_(util::Support::Instance()),
      registry_(util::Registry::Instance()) {}

Network::~Network() = default;

int32_t Network::GetTunable(util::Tunable tunable, uint32_t* value) {
  const util::TunableInfo& info = util::DescribeTunable(tunable);
  const uint32_t defaultValue = util::TunableDefault(tunable);
  *value = defaultValue;
  return registry_->GetValue(info.name, &defaultValue, value, info.key);
}

int32_t Network::GetRenewIPRetries(uint32_t* value) { return GetTunable(util::Tunable::RenewIPRetries, value); }
int32_t Network::GetRenewIPDelayIT(uint32_t* value) { return GetTunable(util::Tunable::RenewIPDelayIT, value); }
int32_t Network::GetRenewIPDelayClone(uint32_t* value) { return GetTunable(util::Tunable::RenewIPDelayClone, value); }

Network::IpProtocolUsage Network::GetIpProtocol() { return protocol_.load(); }

bool Network::IsIPv6() { return protocol_.load() == IpProtocolUsage::IPv6; }

int32_t Network::GetNetworkAdapterCount() {
  int32_t count = adapterCount_.load();
  if (count == 0) {
    Util util;
    count = util.GetNetworkAdapterCount();
    adapterCount_.store(count);
  }
  return count;
}

void Network::InitNetworkProtocol() {
  IpProtocolUsage chosen = IpProtocolUsage::IPv4;
  if (persistentInfo_->Is(Persisted::IPv6Enabled)) {
    Util util;
    switch (util.GetRegIpProtocolUsage()) {
      case IpProtocolUsage::IPv4:
        chosen = IpProtocolUsage::IPv4;
        break;
      case IpProtocolUsage::IPv6:
        chosen = IpProtocolUsage::IPv6;
        break;
      case IpProtocolUsage::Dual4:
        Log(LogLevel::Debug,
            L"tamber::core::windows::Network::InitNetworkProtocol(): Dual stack network not supported");
        chosen = IpProtocolUsage::IPv4;
        break;
      case IpProtocolUsage::Dual6:
        Log(LogLevel::Debug,
            L"tamber::core::windows::Network::InitNetworkProtocol(): Dual stack network not supported");
        chosen = IpProtocolUsage::IPv6;
        break;
      default:
        Log(LogLevel::Debug, L"tamber::core::windows::Network::InitNetworkProtocol(): Found invalid IP protocol");
        chosen = IpProtocolUsage::IPv4;
        break;
    }
  }
  protocol_.store(chosen);
  Log(LogLevel::Info,
      L"tamber::core::windows::Network::InitNetworkProtocol(): Using network communication protocol: %ws",
      IpProtocolUsageText(chosen));
}

bool Network::RenewIP() {
  uint32_t retries = 0, delay = 0;
  GetRenewIPRetries(&retries);
  if (machineType_->GetMachineType() == util::machine::kClone) {
    GetRenewIPDelayClone(&delay);
  } else {
    GetRenewIPDelayIT(&delay);
  }
  Log(LogLevel::Debug, L"tamber::core::windows::Network::RenewIP(): Renew IP Max Retries: %d", retries);
  Log(LogLevel::Debug, L"tamber::core::windows::Network::RenewIP(): Renew IP Delay: %dms", delay);
  const int32_t adapterCount = GetNetworkAdapterCount();
  // The setting is a DWORD read as a signed count: 0 and anything "negative" mean no renewal at all.
  const int32_t maxRetries = static_cast<int32_t>(retries);
  if (maxRetries <= 0) return false;

  const IpProtocolUsage protocol = protocol_.load();
  Util util;
  for (int32_t i = 1; i <= maxRetries; ++i) {
    // An unsigned copy: a negative count reads as 0xFFFFFFFF (no early stop), never as "one adapter".
    if (util.RenewIPAddressSync(protocol, static_cast<uint32_t>(adapterCount))) {
      Log(LogLevel::Debug, L"tamber::core::windows::Network::RenewIP(): Renewed IP Address: Iteration: %d", i);
      if (util.LogIpAddresses(nullptr, nullptr)) {
        Log(LogLevel::Debug, L"tamber::core::windows::Network::RenewIP(): LogIpAddresses Succeeded");
        return true;
      }
      Log(LogLevel::Debug, L"tamber::core::windows::Network::RenewIP(): LogIpAddresses Failed, retrying");
      platform::Sleep(delay);
    } else {
      Log(LogLevel::Debug, L"tamber::core::windows::Network::RenewIP(): Failed Renewing IP Address: Iteration: %d", i);
      util.LogIpAddresses(nullptr, nullptr);
      if (i < maxRetries) platform::Sleep(delay);
    }
  }
  return false;
}

bool Network::SetMacAddress() {
  if (persistentInfo_->Is(Persisted::CloneMacAddressReset)) {
    Log(LogLevel::Debug, L"tamber::core::windows::Network::SetMacAddress(): Skipped setting mac address");
    return true;
  }
  support_->Start(util::Support::Timing::SetMac);
  Log(LogLevel::Debug, L"tamber::core::windows::Network::SetMacAddress(): About to Reset Mac Address");
  Util util;
  bool reset = util.RenewMacAddress();
  if (reset) {
    persistentInfo_->Set(Persisted::CloneMacAddressReset, 1);
    Log(LogLevel::Debug, L"tamber::core::windows::Network::SetMacAddress(): Mac Address Reset");
  } else {
    Log(LogLevel::Debug, L"tamber::core::windows::Network::SetMacAddress(): Failed Resetting Mac Address");
  }
  uint32_t elapsed = support_->Stop(util::Support::Timing::SetMac);
  Log(LogLevel::Debug, L"tamber::core::windows::Network::SetMacAddress(): Total Mac Address Time: %dms", elapsed);
  return reset;
}

bool Network::ReleaseIpOnShutdown() {
  IpProtocolUsage usage = protocol_.load();
  switch (machineType_->GetMachineType()) {
    case util::machine::kInternalTemplate:
      break;
    case util::machine::kReplica:
    case util::machine::kClone:
      // These keep their IPv4 lease across the power cycle; only an IPv6 lease is given back.
      if (usage != IpProtocolUsage::IPv6) return true;
      break;
    default:
      return true;
  }
  const uint32_t state = persistentInfo_->Get(Persisted::IpReleaseOnShutdown);
  Util util;
  if (!util.SetIpReleaseOnShutdownState(state, usage)) {
    Log(LogLevel::Debug,
        L"tamber::core::windows::Network::ReleaseIpOnShutdown(): Failed setting IP release on shutdown state to: %d",
        state);
    return false;
  }
  return true;
}

bool Network::ReleaseIP() {
  Util util;
  return util.ReleaseIPAddress(protocol_.load());
}

}  // namespace tamber::core::windows
