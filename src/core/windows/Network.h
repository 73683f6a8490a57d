// The customization flows' one entry to networking: which IP stack the agent works with, renewing the
// address with retries, restarting the adapter once per clone so that a new MAC address takes effect,
// releasing the address, release on shutdown, and the settings that size the asynchronous renewal.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/device/Util.h"
#include "core/util/Singleton.h"
#include "core/util/Tunables.h"

namespace tamber::core::util {
class CustomizationPersistentInfo;
class MachineType;
class Support;
}  // namespace tamber::core::util

namespace tamber::core::windows {

class Network : public util::Singleton<Network> {
 public:
  using IpProtocolUsage = common::windows::device::IpProtocolUsage;

  virtual ~Network();

  // Renews the address of the chosen stack synchronously, "RenewIPRetries" times at most, until an
  // adapter holds a usable address.
  virtual bool RenewIP();
  // Chooses the stack every later operation uses: IPv4 or IPv6, never both.
  virtual void InitNetworkProtocol();
  // Restarts the network adapters once per clone ("CloneMacAddressReset").
  virtual bool SetMacAddress();
  // Applies "IpReleaseOnShutdown" to the interfaces, by machine role and chosen stack.
  virtual bool ReleaseIpOnShutdown();
  // HRESULT-style status; *value holds the setting or its default.
  virtual int32_t GetRenewIPRetries(uint32_t* value);
  virtual int32_t GetRenewIPDelayIT(uint32_t* value);
  virtual bool ReleaseIP();
  virtual IpProtocolUsage GetIpProtocol();
  virtual bool IsIPv6();
  virtual int32_t GetRenewIPDelayClone(uint32_t* value);
  // Read once through Util and kept.
  virtual int32_t GetNetworkAdapterCount();

 protected:
  Network();

 private:
  friend class util::Singleton<Network>;

  // A tunable of the service key, with its default from the tunables table.
  int32_t GetTunable(util::Tunable tunable, uint32_t* value);

  util::CustomizationPersistentInfo* persistentInfo_;
  util::MachineType* machineType_;
  util::Support* support_;
  util::Registry* registry_;
  // Set by the customization thread, read by the pre-shutdown handler on the main thread.
  std::atomic<IpProtocolUsage> protocol_{IpProtocolUsage::IPv4};
  std::atomic<int32_t> adapterCount_{0};
};

}  // namespace tamber::core::windows
