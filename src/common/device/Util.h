// The agent's window onto the guest's network adapters: listing them, deciding which ones count and
// whether they hold usable addresses, the synchronous renewal and release primitives, and the NIC restart
// that makes a new hardware address take effect. Util holds no data; callers make their own instance on
// the stack.
//
// The implementation is split by subject: Util.cpp (listing, validation, logging, protocol usage, release
// on shutdown), UtilRenewal.cpp (RenewIPAddress* / ReleaseIP*), UtilNicReset.cpp (RenewMacAddress,
// TamberResetNic, TamberDisableNic). RenewIp derives from Util and appends its own virtual operations
// after these; since Util has no virtual destructor, RenewIp must be final (or never deleted through a
// Util pointer).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Network.h"

namespace tamber::platform {
// SP_DEVINFO_DATA of the device seam.
struct SpDevinfoData;
}  // namespace tamber::platform

namespace tamber::common::windows::device {

// Which IP stacks the agent works with, as configured ("IpProtocolUsage") and as passed to renewals.
enum class IpProtocolUsage : uint32_t { IPv4 = 0, IPv6 = 1, Dual4 = 2, Dual6 = 3, Unknown = 4 };

// The same test everywhere: IPv4 for values below 4 except 1, IPv6 for 1, 2 and 3. Values outside the
// enumeration (which a cast can make) are judged by number.
inline bool IncludesIPv4(IpProtocolUsage usage) {
  return static_cast<uint32_t>(usage) < 4 && static_cast<uint32_t>(usage) != 1;
}
inline bool IncludesIPv6(IpProtocolUsage usage) {
  auto value = static_cast<uint32_t>(usage);
  return value >= 1 && value <= 3;
}
// "IPv4", "IPv6", "Dual4", "Dual6"; anything else "Unknown".
const wchar_t* IpProtocolUsageText(IpProtocolUsage usage);

// Address texts gathered by the validations, in the order the adapters and their records came. Validation
// appends (duplicates stay); the owner clears.
struct AddressLists {
  std::vector<std::wstring> ipv4Unicast;
  std::vector<std::wstring> ipv6Unicast;
  std::vector<std::wstring> ipv4Dns;
  std::vector<std::wstring> ipv6Dns;

  void Clear() {
    ipv4Unicast.clear();
    ipv6Unicast.clear();
    ipv4Dns.clear();
    ipv6Dns.clear();
  }
};

// The argument of one renewal run (and of one renewal worker thread).
struct RenewRequest {
  IpProtocolUsage protocol = IpProtocolUsage::IPv4;
  uint32_t expectedCount = 0;                              // 0 counts as 1
  const platform::IpAdapterAddresses* adapters = nullptr;  // owned by the caller
  // Set when the worker's owner has given up on it: the worker then releases and renews nothing more
  // (a late worker must not take addresses away from the next attempt or a confirmed address).
  std::shared_ptr<const std::atomic<bool>> abandoned;
};

// An adapter list from GetAdapters: one block of the process heap, freed with HeapFree.
struct AdapterListFree {
  void operator()(platform::IpAdapterAddresses* list) const;
};
using AdapterList = std::unique_ptr<platform::IpAdapterAddresses, AdapterListFree>;

// MAC text ("02-54-56-01-02-03") to adapter friendly name.
using MacToNameMap = std::unordered_map<std::wstring, std::wstring>;

class Util {
 public:
  Util() = default;
  Util(const Util&) = default;
  Util& operator=(const Util&) = default;
  // Deliberately not virtual: instances live on the stack of their users.
  ~Util() = default;

  // ---- Virtual operations, in slot order. ----
  // The adapter count the hypervisor gives the VM ("snapshot.nic.count"), 1 when absent or unparsable.
  virtual int32_t GetNetworkAdapterCount();
  // Polls (6 attempts, 2.5 s apart) until at least GetNetworkAdapterCount adapters are kept.
  virtual bool GetValidAdapterInfo(MacToNameMap& macToName);
  virtual bool RenewIPAddressSync(IpProtocolUsage protocol, uint32_t expectedCount);
  virtual bool ReleaseIPAddress(IpProtocolUsage protocol);
  // state 0..2: the "release on shutdown" values of the interfaces of every kept adapter.
  virtual bool SetIpReleaseOnShutdownState(uint32_t state, IpProtocolUsage protocol);
  // Polls LogIpAddresses ("PollingIpRetries" times, 1 s apart).
  virtual bool isIpAddressAvailable();
  // True when a kept adapter has a valid unicast address and a valid DNS server: a working network.
  virtual bool LogIpAddresses(bool* found, AddressLists* lists);
  virtual IpProtocolUsage GetRegIpProtocolUsage();
  virtual bool RenewMacAddress();
  // The first six bytes as "%02x-%02x-%02x-%02x-%02x-%02x".
  virtual std::wstring FormatMacAddress(const uint8_t* physicalAddress);

  // ---- Listing and validation. ----
  // A fresh adapter list (both families, with gateways and prefixes), or null.
  AdapterList GetAdapters();
  // True when the adapter is to be skipped: down, ISATAP, or neither Ethernet nor 802.11.
  bool FilterAdapter(const platform::IpAdapterAddresses* adapter);
  bool ValidateUnicastAddresses(const platform::IpAdapterAddresses* adapter, AddressLists* lists);
  bool ValidateDnsAddresses(const platform::IpAdapterAddresses* adapter, AddressLists* lists);
  bool ValidateGatewayIP(const platform::IpAdapterAddresses* adapter);
  bool ValidateIPv4Addresses(const std::vector<std::wstring>& addresses);
  bool ValidateIPv6Addresses(const std::vector<std::wstring>& addresses, bool linkLocalOnlyIsInvalid);
  void LogAdapterInfo(const platform::IpAdapterAddresses* adapter);
  void LogMacAddress(const platform::IpAdapterAddresses* adapter);
  // version: IPv4 or IPv6.
  bool SetIPReleaseOnShutdownReg(const std::wstring& adapterGuid, uint32_t state, IpProtocolUsage version);

  // The text of a socket address as Windows prints it (IPv6 with its zone suffix); empty for a missing
  // or foreign address.
  static std::wstring AddressText(const platform::SocketAddress& address);

  // ---- Renewal and release primitives (UtilRenewal.cpp). ----
  // The succeeded count; also the body of a renewal worker thread.
  uint32_t RenewIPAddress(RenewRequest* request);
  // 0 failed, 1 renewed, 2 skipped (renewal failed on an adapter without a valid gateway).
  uint32_t RenewIPv4Address(const platform::IpAdapterAddresses* adapter);
  bool RenewIPv6Address(const platform::IpAdapterAddresses* adapter);
  bool ReleaseIPv6Address(const platform::IpAdapterAddresses* adapter);

  // ---- NIC restart (UtilNicReset.cpp). ----
  bool TamberResetNic();
  // deviceSet is the HDEVINFO of the network class.
  bool TamberDisableNic(void* deviceSet, platform::SpDevinfoData* deviceData);

 private:
  // True (with a log line naming the step not taken) once the renewal's owner has given up on it.
  bool Abandoned(const wchar_t* step) const;

  // The abandoned flag of the renewal running on this object, for the length of RenewIPAddress.
  std::shared_ptr<const std::atomic<bool>> abandoned_;
};

}  // namespace tamber::common::windows::device
