// Util's read side: the adapter list, which adapters count, their address texts and validation, the
// polls for a usable address, the configured protocol usage and the release-on-shutdown values.
#include "common/device/Util.h"

#include <cwctype>
#include <exception>
#include <string>

#include "common/device/IpAddressText.h"
#include "common/util/Utf16.h"
#include "common/windows/Handles.h"
#include "core/util/GuestInfo.h"
#include "core/util/Tunables.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/Registry.h"

namespace tamber::common::windows::device {

using framework::log::Log;
using framework::log::LogLevel;
using platform::IpAdapterAddresses;

namespace {

constexpr uint32_t kGetAdaptersFlags = platform::kGaaFlagIncludeGateways | platform::kGaaFlagIncludePrefix;
constexpr int kAdapterInfoAttempts = 6;
constexpr uint32_t kAdapterInfoDelayMs = 2500;
constexpr uint32_t kPollingIpDelayMs = 1000;
constexpr uint32_t kRegistryWriteAccess = 0x20006;
constexpr const wchar_t* kTcpipInterfaces = L"SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\";
constexpr const wchar_t* kTcpip6Interfaces = L"SYSTEM\\CurrentControlSet\\services\\Tcpip6\\Parameters\\Interfaces\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

uint16_t Family(const platform::SocketAddress& address) {
  return address.sockaddr == nullptr ? platform::kAfUnspec : address.sockaddr->family;
}

std::wstring NarrowToWide(const char* text) {
  std::wstring wide;
  if (text == nullptr) return wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
  return wide;
}

const wchar_t* Hex2(std::wstring& out, uint8_t value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  out.push_back(kDigits[value >> 4]);
  out.push_back(kDigits[value & 0xF]);
  return out.c_str();
}

// Which validation messages a walk over one kind of address prints.
struct ResultTexts {
  const wchar_t* ipv4Only;
  const wchar_t* ipv6Only;
  const wchar_t* both;
  const wchar_t* neither;
};

bool Conclude(bool ipv4Valid, bool ipv6Valid, const ResultTexts& texts) {
  if (ipv4Valid && ipv6Valid) {
    Log(LogLevel::Debug, texts.both);
  } else if (ipv4Valid) {
    Log(LogLevel::Debug, texts.ipv4Only);
  } else if (ipv6Valid) {
    Log(LogLevel::Debug, texts.ipv6Only);
  } else {
    Log(LogLevel::Debug, texts.neither);
    return false;
  }
  return true;
}

const wchar_t* OperStatusName(uint32_t status) {
  static const wchar_t* const kNames[] = {
      L"IfOperStatusUp",      L"IfOperStatusDown",       L"IfOperStatusTesting",       L"IfOperStatusUnknown",
      L"IfOperStatusDormant", L"IfOperStatusNotPresent", L"IfOperStatusLowerLayerDown"};
  return status >= 1 && status <= 7 ? kNames[status - 1] : L"UNKNOWN";
}

const wchar_t* IfTypeName(uint32_t type) {
  switch (type) {
    case 1:
      return L"IF_TYPE_OTHER";
    case 6:
      return L"IF_TYPE_ETHERNET_CSMACD";
    case 9:
      return L"IF_TYPE_ISO88025_TOKENRING";
    case 23:
      return L"IF_TYPE_PPP";
    case 24:
      return L"IF_TYPE_SOFTWARE_LOOPBACK";
    case 37:
      return L"IF_TYPE_ATM";
    case 71:
      return L"IF_TYPE_IEEE80211";
    case 131:
      return L"IF_TYPE_TUNNEL";
    case 144:
      return L"IF_TYPE_IEEE1394";
    default:
      return L"UNKNOWN";
  }
}

const wchar_t* TunnelTypeName(uint32_t type) {
  switch (type) {
    case 0:
      return L"TUNNEL_TYPE_NONE";
    case 1:
      return L"TUNNEL_TYPE_OTHER";
    case 2:
      return L"TUNNEL_TYPE_DIRECT";
    case 13:
      return L"TUNNEL_TYPE_ISATAP";
    case 14:
      return L"TUNNEL_TYPE_TEREDO";
    case 15:
      return L"TUNNEL_TYPE_IPHTTPS";
    default:
      return L"UNKNOWN";
  }
}

std::wstring FlagsText(uint32_t flags) {
  static const wchar_t* const kNames[] = {L"IP_ADAPTER_DDNS_ENABLED",
                                          L"IP_ADAPTER_REGISTER_ADAPTER_SUFFIX",
                                          L"IP_ADAPTER_DHCP_ENABLED",
                                          L"IP_ADAPTER_RECEIVE_ONLY",
                                          L"IP_ADAPTER_NO_MULTICAST",
                                          L"IP_ADAPTER_IPV6_OTHER_STATEFUL_CONFIG",
                                          L"IP_ADAPTER_NETBIOS_OVER_TCPIP_ENABLED",
                                          L"IP_ADAPTER_IPV4_ENABLED",
                                          L"IP_ADAPTER_IPV6_ENABLED",
                                          L"IP_ADAPTER_IPV6_MANAGE_ADDRESS_CONFIG"};
  std::wstring text;
  for (uint32_t bit = 0; bit < 10; ++bit) {
    if ((flags & (1u << bit)) == 0) continue;
    if (!text.empty()) text += L" | ";
    text += kNames[bit];
  }
  return text;
}

}  // namespace

const wchar_t* IpProtocolUsageText(IpProtocolUsage usage) {
  switch (usage) {
    case IpProtocolUsage::IPv4:
      return L"IPv4";
    case IpProtocolUsage::IPv6:
      return L"IPv6";
    case IpProtocolUsage::Dual4:
      return L"Dual4";
    case IpProtocolUsage::Dual6:
      return L"Dual6";
    default:
      return L"Unknown";
  }
}

void AdapterListFree::operator()(IpAdapterAddresses* list) const {
  if (list != nullptr) platform::HeapFree(platform::GetProcessHeap(), 0, list);
}

std::wstring Util::AddressText(const platform::SocketAddress& address) {
  if (address.sockaddr == nullptr) return {};
  if (address.sockaddr->family == platform::kAfInet &&
      address.length >= static_cast<int32_t>(sizeof(platform::SockAddrIn))) {
    return Ipv4AddressToString(reinterpret_cast<const platform::SockAddrIn*>(address.sockaddr)->address);
  }
  if (address.sockaddr->family == platform::kAfInet6 &&
      address.length >= static_cast<int32_t>(sizeof(platform::SockAddrIn6))) {
    const auto* six = reinterpret_cast<const platform::SockAddrIn6*>(address.sockaddr);
    return Ipv6AddressToString(six->address, six->scopeId, six->port);
  }
  return {};
}

AdapterList Util::GetAdapters() {
  uint32_t size = 0;
  uint32_t result = platform::GetAdaptersAddresses(platform::kAfUnspec, kGetAdaptersFlags, nullptr, nullptr, &size);
  void* block = nullptr;
  if (result == platform::kErrorBufferOverflow) {
    block = platform::HeapAlloc(platform::GetProcessHeap(), platform::kHeapZeroMemory, size);
  }
  if (block == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::GetAdapters(): Failed allocating buffer");
    return nullptr;
  }
  AdapterList list(static_cast<IpAdapterAddresses*>(block));
  result = platform::GetAdaptersAddresses(platform::kAfUnspec, kGetAdaptersFlags, nullptr, list.get(), &size);
  if (result != platform::kErrorSuccess) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::GetAdapters(): GetAdaptersAddresses Failed: 0x%X",
        result);
    return nullptr;
  }
  return list;
}

bool Util::FilterAdapter(const IpAdapterAddresses* adapter) {
  if (static_cast<uint32_t>(adapter->operStatus) == platform::kIfOperStatusDown) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::FilterAdapter(): Skipping Disabled Adapter");
    return true;
  }
  if (static_cast<uint32_t>(adapter->tunnelType) == platform::kTunnelTypeIsatap) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::FilterAdapter(): Skipping Isatap Adapter");
    return true;
  }
  if (adapter->ifType != platform::kIfTypeEthernetCsmacd && adapter->ifType != platform::kIfTypeIeee80211) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::FilterAdapter(): Skipping Adapter With Invalid Type");
    return true;
  }
  return false;
}

int32_t Util::GetNetworkAdapterCount() {
  int32_t count = 1;
  std::string text;
  core::util::GuestInfo guestInfo;
  if (guestInfo.GetValue("snapshot.nic.count", &text)) {
    try {
      count = std::stoi(text);
    } catch (const std::exception& error) {
      Log(LogLevel::Warn,
          L"tamber::common::windows::device::Util::GetNetworkAdapterCount(): Failed to parse nic count \"%S\". Exception: %S. Defaulting to single nic.",
          text, error.what());
      count = 1;
    }
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::GetNetworkAdapterCount(): Network Adapter Count: %d",
      count);
  return count;
}

bool Util::GetValidAdapterInfo(MacToNameMap& macToName) {
  const int32_t expected = GetNetworkAdapterCount();
  for (int attempt = 1; attempt <= kAdapterInfoAttempts; ++attempt) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::GetValidAdapterInfo(): Attempt %d to get adapter info", attempt);
    AdapterList adapters = GetAdapters();
    macToName.clear();
    if (adapters == nullptr) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::GetValidAdapterInfo(): Failed To Get Adapters");
    } else {
      for (const IpAdapterAddresses* adapter = adapters.get(); adapter != nullptr; adapter = adapter->next) {
        if (FilterAdapter(adapter)) continue;
        std::wstring mac = FormatMacAddress(adapter->physicalAddress);
        std::wstring name = adapter->friendlyName != nullptr ? adapter->friendlyName : L"";
        macToName[mac] = name;
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::Util::GetValidAdapterInfo(): Found Adapter \"%ws\" with MAC: %ws", name,
            mac);
      }
      adapters.reset();
      if (static_cast<int64_t>(macToName.size()) >= expected) return true;
    }
    platform::Sleep(kAdapterInfoDelayMs);
  }
  return false;
}

std::wstring Util::FormatMacAddress(const uint8_t* physicalAddress) {
  std::wstring text;
  for (int i = 0; i < 6; ++i) {
    if (i != 0) text += L'-';
    Hex2(text, physicalAddress[i]);
  }
  return text;
}

void Util::LogMacAddress(const IpAdapterAddresses* adapter) {
  std::wstring text;
  for (size_t i = 0; i < platform::kMaxAdapterAddressLength; ++i) {
    if (i != 0) text += L':';
    Hex2(text, adapter->physicalAddress[i]);
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogMacAddress(): Mac Address: %ws", text);
}

bool Util::ValidateIPv4Addresses(const std::vector<std::wstring>& addresses) {
  if (addresses.empty()) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::ValidateIPv4Addresses(): No IPv4 Addresses To Validate");
    return false;
  }
  size_t valid = 0;
  for (const auto& address : addresses) {
    if (address.empty()) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv4Addresses(): IPv4 Addresses Is Empty");
      return false;
    }
    if (StartsWith(address, L"None Found")) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::ValidateIPv4Addresses(): IPv4 Address Not Assigned: %ws", address);
      return false;
    }
    if (StartsWith(address, L"169.254.")) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv4Addresses(): IPv4 Local Address: %ws",
          address);
      continue;
    }
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv4Addresses(): IPv4 Address Is Valid: %ws",
        address);
    ++valid;
  }
  if (valid == addresses.size()) return true;
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::ValidateIPv4Addresses(): No Valid IPv4 Addresses Found");
  return false;
}

bool Util::ValidateIPv6Addresses(const std::vector<std::wstring>& addresses, bool linkLocalOnlyIsInvalid) {
  if (addresses.empty()) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): No IPv6 Addresses To Validate");
    return false;
  }
  size_t linkLocal = 0;
  for (const auto& address : addresses) {
    if (address.empty()) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): IPv6 Addresses Is Empty");
      return false;
    }
    if (StartsWith(address, L"None Found")) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): IPv6 Address Not Assigned: %ws", address);
      return false;
    }
    if (StartsWith(address, L"fe80::")) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): IPv6 Link-Local Address: %ws", address);
      ++linkLocal;
      continue;
    }
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): IPv6 Address Is Valid: %ws",
        address);
  }
  if (linkLocal == addresses.size()) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): Found Only IPv6 Link-Local Address");
    if (linkLocalOnlyIsInvalid) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): IPv6 Addresses Invalid");
      return false;
    }
    return true;
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateIPv6Addresses(): IPv6 Addresses Valid");
  return true;
}

bool Util::ValidateUnicastAddresses(const IpAdapterAddresses* adapter, AddressLists* lists) {
  if (adapter->firstUnicastAddress == nullptr) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): Unicast Addresses not found");
    return false;
  }
  std::vector<std::wstring> ipv4;
  std::vector<std::wstring> ipv6;
  for (const auto* unicast = adapter->firstUnicastAddress; unicast != nullptr; unicast = unicast->next) {
    uint16_t family = Family(unicast->address);
    if (family == platform::kAfInet) {
      std::wstring text = AddressText(unicast->address);
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): IPv4 Address: %ws",
          text);
      ipv4.push_back(text);
      std::wstring dhcp = AddressText(adapter->dhcpv4Server);
      if (!dhcp.empty()) {
        Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): DHCP4 Address: %ws",
            dhcp);
      } else {
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): DHCP4 Address: Empty");
      }
    } else if (family == platform::kAfInet6) {
      if (unicast->address.length < static_cast<int32_t>(sizeof(platform::SockAddrIn6))) {
        // Too short to hold an address: nothing to read or validate.
        Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): IPv6 Address: Empty");
        continue;
      }
      const auto* six = reinterpret_cast<const platform::SockAddrIn6*>(unicast->address.sockaddr);
      std::wstring text = AddressText(unicast->address);
      uint32_t scope = six->scopeId;
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): IPv6 Address: %ws, Level: %d, Zone: %d, Value: %d, Scope Id: %d",
          text, scope >> 28, scope & 0x0FFFFFFF, scope, scope);
      ipv6.push_back(text);
      std::wstring dhcp = AddressText(adapter->dhcpv6Server);
      if (!dhcp.empty()) {
        Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): DHCP6 Address: %ws",
            dhcp);
      } else {
        Log(LogLevel::Debug,
            L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): DHCP6 Address: Empty");
      }
    } else {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): IP Unknown Family");
    }
  }
  if (lists != nullptr) {
    lists->ipv4Unicast.insert(lists->ipv4Unicast.end(), ipv4.begin(), ipv4.end());
    lists->ipv6Unicast.insert(lists->ipv6Unicast.end(), ipv6.begin(), ipv6.end());
  }
  bool ipv4Valid = ValidateIPv4Addresses(ipv4);
  bool ipv6Valid = ValidateIPv6Addresses(ipv6, /*linkLocalOnlyIsInvalid=*/true);
  return Conclude(
      ipv4Valid, ipv6Valid,
      {L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): Found Valid IPv4 Address Only",
       L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): Found Valid IPv6 Address Only",
       L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): Found Valid IPv4 and IPv6 Addresses",
       L"tamber::common::windows::device::Util::ValidateUnicastAddresses(): No Valid IP Address Found For This Adapter"});
}

bool Util::ValidateDnsAddresses(const IpAdapterAddresses* adapter, AddressLists* lists) {
  if (adapter->firstDnsServerAddress == nullptr) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::ValidateDnsAddresses(): Skipping Adapter Without DNS Server Address");
    return false;
  }
  std::vector<std::wstring> ipv4;
  std::vector<std::wstring> ipv6;
  int32_t index = 0;
  for (const auto* server = adapter->firstDnsServerAddress; server != nullptr; server = server->next, ++index) {
    uint16_t family = Family(server->address);
    std::wstring text = AddressText(server->address);
    if (family == platform::kAfInet6) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::ValidateDnsAddresses(): IPv6 Dns Server Address[%d]: %ws", index,
          text);
      ipv6.push_back(text);
    } else if (family == platform::kAfInet) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::ValidateDnsAddresses(): IPv4 Dns Server Address[%d]: %ws", index,
          text);
      ipv4.push_back(text);
    } else {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateDnsAddresses(): DNS Unknown Family");
    }
  }
  if (lists != nullptr) {
    lists->ipv4Dns.insert(lists->ipv4Dns.end(), ipv4.begin(), ipv4.end());
    lists->ipv6Dns.insert(lists->ipv6Dns.end(), ipv6.begin(), ipv6.end());
  }
  bool ipv4Valid = ValidateIPv4Addresses(ipv4);
  bool ipv6Valid = ValidateIPv6Addresses(ipv6, /*linkLocalOnlyIsInvalid=*/true);
  return Conclude(
      ipv4Valid, ipv6Valid,
      {L"tamber::common::windows::device::Util::ValidateDnsAddresses(): Found Valid DNS IPv4 Address Only",
       L"tamber::common::windows::device::Util::ValidateDnsAddresses(): Found Valid DNS IPv6 Address Only",
       L"tamber::common::windows::device::Util::ValidateDnsAddresses(): Found Valid DNS IPv4 and IPv6 Addresses",
       L"tamber::common::windows::device::Util::ValidateDnsAddresses(): Skipping adapter with No Valid DNS IP Address"});
}

bool Util::ValidateGatewayIP(const IpAdapterAddresses* adapter) {
  if (adapter->firstGatewayAddress == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateGatewayIP(): Gateway Address: None Found");
    return false;
  }
  std::vector<std::wstring> ipv4;
  std::vector<std::wstring> ipv6;
  int32_t index = 0;
  for (const auto* gateway = adapter->firstGatewayAddress; gateway != nullptr; gateway = gateway->next, ++index) {
    uint16_t family = Family(gateway->address);
    std::wstring text = AddressText(gateway->address);
    if (family == platform::kAfInet6) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateGatewayIP(): IPv6 Gateway Address[%d]: %ws",
          index, text);
      ipv6.push_back(text);
    } else if (family == platform::kAfInet) {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateGatewayIP(): IPv4 Gateway Address[%d]: %ws",
          index, text);
      ipv4.push_back(text);
    } else {
      Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ValidateGatewayIP(): Gateway Unknown Family");
    }
  }
  bool ipv4Valid = ValidateIPv4Addresses(ipv4);
  bool ipv6Valid = ValidateIPv6Addresses(ipv6, /*linkLocalOnlyIsInvalid=*/false);
  return Conclude(
      ipv4Valid, ipv6Valid,
      {L"tamber::common::windows::device::Util::ValidateGatewayIP(): Found Valid IPv4 Gateway Address Only",
       L"tamber::common::windows::device::Util::ValidateGatewayIP(): Found Valid IPv6 Gateway Address Only",
       L"tamber::common::windows::device::Util::ValidateGatewayIP(): Found Valid IPv4 and IPv6 Gateway Addresses",
       L"tamber::common::windows::device::Util::ValidateGatewayIP(): No Valid Gateway Address Found For This Adapter"});
}

bool Util::LogIpAddresses(bool* found, AddressLists* lists) {
  if (found != nullptr) *found = false;
  AdapterList adapters = GetAdapters();
  if (adapters == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogIpAddresses(): Failed To Get Adapters");
    return false;
  }
  bool result = false;
  for (const IpAdapterAddresses* adapter = adapters.get(); adapter != nullptr; adapter = adapter->next) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogIpAddresses(): Friendly Name: %ws",
        adapter->friendlyName != nullptr ? adapter->friendlyName : L"Unknown");
    if (FilterAdapter(adapter)) continue;
    if (!ValidateUnicastAddresses(adapter, lists)) {
      ValidateGatewayIP(adapter);
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::LogIpAddresses(): Skipping adapter with No Valid Unicast IP Address");
    } else if (ValidateDnsAddresses(adapter, lists)) {
      ValidateGatewayIP(adapter);
      result = true;
      if (found != nullptr) *found = true;
    } else {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::LogIpAddresses(): Skipping adapter with No Valid Dns Server Address");
    }
  }
  return result;
}

bool Util::isIpAddressAvailable() {
  const uint32_t retries = core::util::Tunables().Get(core::util::Tunable::PollingIpRetries);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::isIpAddressAvailable(): Polling IP Max Retries: %d",
      retries);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::isIpAddressAvailable(): Polling IP Delay: %dms",
      kPollingIpDelayMs);
  if (retries == 0) {
    platform::Sleep(kPollingIpDelayMs);
    return false;
  }
  for (uint32_t i = 1; i <= retries; ++i) {
    platform::Sleep(kPollingIpDelayMs);
    if (LogIpAddresses(nullptr, nullptr)) {
      Log(LogLevel::Debug,
          L"tamber::common::windows::device::Util::isIpAddressAvailable(): Got IP Address: Iteration: %d", i);
      return true;
    }
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::isIpAddressAvailable(): LogIpAddresses Failed: Iteration %d", i);
  }
  return false;
}

IpProtocolUsage Util::GetRegIpProtocolUsage() {
  const std::wstring path = core::util::kIpProtocolUsageKeyPath;
  const std::wstring name = core::util::kIpProtocolUsageName;
  UniqueHKey key;
  uint32_t error = platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, platform::kKeyRead, key.put());
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Error,
        L"tamber::common::windows::device::Util::GetRegIpProtocolUsage(): Failed Opening Key: %ws, 0x%X", path,
        HResultFromWin32(error));
    return IpProtocolUsage::Unknown;
  }
  // A string value read whole; data without its terminating null still ends where the data ends.
  uint32_t type = 0;
  uint32_t size = 0;
  error = platform::RegQueryValueEx(key.get(), name.c_str(), &type, nullptr, &size);
  std::wstring text;
  if (error == platform::kErrorSuccess && (type == platform::kRegSz || type == platform::kRegExpandSz)) {
    std::vector<uint8_t> data(size + sizeof(wchar_t), 0);
    error = platform::RegQueryValueEx(key.get(), name.c_str(), &type, data.data(), &size);
    if (error == platform::kErrorSuccess) {
      text = util::FromUtf16LeBytes(data.data(), size);
    }
  } else if (error == platform::kErrorSuccess) {
    error = platform::kErrorInvalidData;
  }
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::GetRegIpProtocolUsage(): Failed to read %ws from %ws",
        name, path);
    return IpProtocolUsage::Unknown;
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::GetRegIpProtocolUsage(): IP Protocol Usage: %ws", text);
  if (EqualsNoCase(text, L"IPv4")) return IpProtocolUsage::IPv4;
  if (EqualsNoCase(text, L"IPv6")) return IpProtocolUsage::IPv6;
  if (EqualsNoCase(text, L"Dual4")) return IpProtocolUsage::Dual4;
  if (EqualsNoCase(text, L"Dual6")) return IpProtocolUsage::Dual6;
  return IpProtocolUsage::Unknown;
}

bool Util::SetIpReleaseOnShutdownState(uint32_t state, IpProtocolUsage protocol) {
  if (state >= 3) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::SetIpReleaseOnShutdownState(): Invalid IP release state : %d", state);
    return false;
  }
  AdapterList adapters = GetAdapters();
  if (adapters == nullptr) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::SetIpReleaseOnShutdownState(): No adapters found, quitting");
    return false;
  }
  int32_t count = 0;
  int32_t succeeded = 0;
  int32_t failed = 0;
  int32_t skipped = 0;
  for (const IpAdapterAddresses* adapter = adapters.get(); adapter != nullptr; adapter = adapter->next) {
    const char* guid = adapter->adapterName != nullptr ? adapter->adapterName : "";
    Log(LogLevel::Info,
        L"tamber::common::windows::device::Util::SetIpReleaseOnShutdownState(): Setting IP release state for adapter %S to %d",
        guid, state);
    ++count;
    if (FilterAdapter(adapter)) {
      ++skipped;
      continue;
    }
    const std::wstring wideGuid = NarrowToWide(guid);
    if (IncludesIPv4(protocol) && (adapter->flags & platform::kIpAdapterIpv4Enabled) != 0 && adapter->ifIndex != 0 &&
        (adapter->flags & platform::kIpAdapterDhcpEnabled) != 0) {
      ++(SetIPReleaseOnShutdownReg(wideGuid, state, IpProtocolUsage::IPv4) ? succeeded : failed);
    }
    if (IncludesIPv6(protocol) && (adapter->flags & platform::kIpAdapterIpv6Enabled) != 0 &&
        adapter->ipv6IfIndex != 0 && (adapter->flags & platform::kIpAdapterIpv6ManageAddressConfig) != 0) {
      ++(SetIPReleaseOnShutdownReg(wideGuid, state, IpProtocolUsage::IPv6) ? succeeded : failed);
    }
  }
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::SetIpReleaseOnShutdownState(): Adapters: %d, Succeeded: %d, Failed: %d, Skipped: %d",
      count, succeeded, failed, skipped);
  return succeeded > 0;
}

bool Util::SetIPReleaseOnShutdownReg(const std::wstring& adapterGuid, uint32_t state, IpProtocolUsage version) {
  if (adapterGuid.empty()) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::SetIPReleaseOnShutdownReg(): Adapter name cannot be Empty");
    return false;
  }
  std::wstring path;
  const wchar_t* valueName = nullptr;
  if (version == IpProtocolUsage::IPv4) {
    path = kTcpipInterfaces + adapterGuid;
    valueName = L"ReleaseOnShutdown";
  } else if (version == IpProtocolUsage::IPv6) {
    path = kTcpip6Interfaces + adapterGuid;
    valueName = L"Dhcpv6ReleaseOnShutdown";
  } else {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::SetIPReleaseOnShutdownReg(): Unsupported IP Version: %d", version);
    return false;
  }
  UniqueHKey key;
  uint32_t error =
      platform::RegOpenKeyEx(platform::HKeyLocalMachine(), path.c_str(), 0, kRegistryWriteAccess, key.put());
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::SetIPReleaseOnShutdownReg(): Failed Opening Key: %ws, 0x%X", path,
        HResultFromWin32(error));
    return false;
  }
  uint8_t data[4] = {static_cast<uint8_t>(state), static_cast<uint8_t>(state >> 8), static_cast<uint8_t>(state >> 16),
                     static_cast<uint8_t>(state >> 24)};
  error = platform::RegSetValueEx(key.get(), valueName, platform::kRegDword, data, sizeof(data));
  if (error != platform::kErrorSuccess) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::SetIPReleaseOnShutdownReg(): Failed to access interface key: %ws",
        path);
    return false;
  }
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::SetIPReleaseOnShutdownReg(): %ws release on shutdown state for adapter %ws set to %d",
      version == IpProtocolUsage::IPv4 ? L"IPv4" : L"IPv6", adapterGuid, state);
  return true;
}

void Util::LogAdapterInfo(const IpAdapterAddresses* adapter) {
  const uint32_t operStatus = static_cast<uint32_t>(adapter->operStatus);
  const uint32_t tunnelType = static_cast<uint32_t>(adapter->tunnelType);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): Friendly Name: %ws",
      adapter->friendlyName);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): Adapter Name: %S",
      adapter->adapterName);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): Description: %ws",
      adapter->description);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): Flags (0x%X): %ws", adapter->flags,
      FlagsText(adapter->flags));
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): Operational Status (0x%X): %ws",
      operStatus, OperStatusName(operStatus));
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): IF Type (%d): %ws", adapter->ifType,
      IfTypeName(adapter->ifType));
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::LogAdapterInfo(): Tunnel Type (%d): %ws", tunnelType,
      TunnelTypeName(tunnelType));
}

}  // namespace tamber::common::windows::device
