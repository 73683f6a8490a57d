// Synchronous renewal and release of the adapters' addresses: IPv4 through the IP Helper, IPv6 through
// ipconfig.
#include <string>

#include "common/device/Util.h"
#include "common/util/CommandLine.h"
#include "common/util/Util.h"
#include "framework/log/Log.h"
#include "platform/Clock.h"
#include "platform/IpRenewal.h"
#include "platform/Network.h"

namespace tamber::common::windows::device {
namespace {

constexpr uint32_t kPauseBetweenReleaseAndRenewMs = 1000;

enum class V4Result : uint32_t { Failed = 0, Renewed = 1, Skipped = 2 };

// The system's text for a code, without the line end Windows puts after it.
std::wstring ErrorText(uint32_t code) {
  std::wstring text = platform::FormatSystemMessage(code);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text;
}

std::wstring FriendlyName(const platform::IpAdapterAddresses* adapter) {
  return adapter->friendlyName != nullptr ? std::wstring(adapter->friendlyName) : std::wstring();
}

// "ipconfig /release6 "Name"" or "ipconfig /renew6 "Name"".
std::wstring Ipconfig6CommandLine(const wchar_t* verb, const platform::IpAdapterAddresses* adapter) {
  return std::wstring(L"ipconfig /") + verb + L" " + common::util::QuoteCommandLineArgument(FriendlyName(adapter));
}

// IP_ADAPTER_INDEX_MAP of an adapter: its IPv4 interface index and "\DEVICE\TCPIP_{GUID}".
platform::IpAdapterIndexMap IndexMap(const platform::IpAdapterAddresses* adapter) {
  platform::IpAdapterIndexMap map{};
  map.index = adapter->ifIndex;
  std::string name = "\\DEVICE\\TCPIP_";
  if (adapter->adapterName != nullptr) name += adapter->adapterName;
  size_t length = name.size() < platform::kMaxAdapterName - 1 ? name.size() : platform::kMaxAdapterName - 1;
  for (size_t i = 0; i < length; ++i) map.name[i] = static_cast<char16_t>(static_cast<unsigned char>(name[i]));
  map.name[length] = u'\0';
  return map;
}

bool UsesIPv6(IpProtocolUsage protocol, const platform::IpAdapterAddresses* adapter) {
  return IncludesIPv6(protocol) && (adapter->flags & platform::kIpAdapterIpv6Enabled) != 0 && adapter->ipv6IfIndex != 0;
}

bool UsesIPv4(IpProtocolUsage protocol, const platform::IpAdapterAddresses* adapter) {
  return IncludesIPv4(protocol) && (adapter->flags & platform::kIpAdapterIpv4Enabled) != 0 && adapter->ifIndex != 0;
}

// The release half of the IPv4 renewal, as the release pass runs it: true when the adapter holds no lease
// afterwards (released, never had one, or one Windows does not know as an IPv4 interface).
bool ReleaseIPv4Address(const platform::IpAdapterAddresses* adapter) {
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv4Address(): IPv4 Is Enabled");
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv4Address(): IPv4 Metric: %d",
      adapter->ipv4Metric);
  platform::IpAdapterIndexMap map = IndexMap(adapter);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv4Address(): Index: %d", map.index);
  uint32_t result = platform::IpReleaseAddress(&map);
  if (result == platform::kErrorSuccess) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv4Address(): IPv4 Release Succeeded");
  } else if (result == platform::kErrorAddressNotAssociated) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::ReleaseIPv4Address(): Adapter Does Not Have An IPv4 Address Yet, Nothing To Release");
  } else {
    Log(LogLevel::Error,
        L"tamber::common::windows::device::Util::ReleaseIPv4Address(): IPv4 Release Failed (0x%X), Error: %ws", result,
        ErrorText(result));
  }
  return result == platform::kErrorSuccess || result == platform::kErrorAddressNotAssociated ||
         result == platform::kErrorInvalidParameter;
}

}  // namespace

bool Util::Abandoned(const wchar_t* step) const {
  if (!abandoned_ || !abandoned_->load()) return false;
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddress(): Renewal Abandoned, Skipping %ws",
      step);
  return true;
}

uint32_t Util::RenewIPAddress(RenewRequest* request) {
  if (request == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddress(): No network info found, quitting");
    return 0;
  }
  if (request->adapters == nullptr) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddress(): No adapters found, quitting");
    return 0;
  }
  const IpProtocolUsage protocol = request->protocol;
  const uint32_t expected = request->expectedCount == 0 ? 1 : request->expectedCount;
  const bool singleStack = protocol == IpProtocolUsage::IPv4 || protocol == IpProtocolUsage::IPv6;
  uint32_t count = 0, succeeded = 0, failed = 0, skipped = 0;
  abandoned_ = request->abandoned;

  for (const platform::IpAdapterAddresses* adapter = request->adapters; adapter != nullptr; adapter = adapter->next) {
    if (Abandoned(L"The Remaining Adapters")) break;
    ++count;
    Log(LogLevel::Info,
        L"tamber::common::windows::device::Util::RenewIPAddress(): Attempting to renew IP for adapter:");
    LogAdapterInfo(adapter);
    LogMacAddress(adapter);
    if (FilterAdapter(adapter)) {
      ++skipped;
      continue;
    }
    if (UsesIPv6(protocol, adapter)) {
      if (RenewIPv6Address(adapter)) {
        ++succeeded;
      } else {
        ++failed;
      }
    }
    if (static_cast<uint32_t>(protocol) >= static_cast<uint32_t>(IpProtocolUsage::Unknown)) continue;
    if (UsesIPv4(protocol, adapter)) {
      switch (static_cast<V4Result>(RenewIPv4Address(adapter))) {
        case V4Result::Renewed:
          ++succeeded;
          break;
        case V4Result::Failed:
          ++failed;
          break;
        default:
          ++skipped;
          break;
      }
    }
    if (!singleStack) continue;
    if (succeeded == expected) break;
  }

  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::RenewIPAddress(): Adapters: %d, Succeeded: %d, Failed: %d, Skipped: %d",
      count, succeeded, failed, skipped);
  if (count == 0) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddress(): No Adapters Found");
  } else if (skipped == count) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddress(): All Adapters Were Skipped");
  } else if (succeeded == 0) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddress(): No Adapters Succeeded");
  }
  abandoned_.reset();
  return succeeded;
}

uint32_t Util::RenewIPv4Address(const platform::IpAdapterAddresses* adapter) {
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv4Address(): IPv4 Is Enabled");
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv4Address(): IPv4 Metric: %d",
      adapter->ipv4Metric);
  platform::IpAdapterIndexMap map = IndexMap(adapter);
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv4Address(): Index: %d", map.index);

  // A failed release does not stop the renewal: the renewal is what counts.
  if (Abandoned(L"IPv4 Release")) return static_cast<uint32_t>(V4Result::Failed);
  uint32_t result = platform::IpReleaseAddress(&map);
  if (result == platform::kErrorSuccess) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv4Address(): IPv4 Release Succeeded");
  } else if (result == platform::kErrorAddressNotAssociated) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::RenewIPv4Address(): Adapter Does Not Have An IPv4 Address Yet, Nothing To Release");
  } else {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::RenewIPv4Address(): IPv4 Release Failed (0x%X), Error: %ws", result,
        ErrorText(result));
  }
  platform::Sleep(kPauseBetweenReleaseAndRenewMs);

  if (Abandoned(L"IPv4 Renew")) return static_cast<uint32_t>(V4Result::Failed);
  result = platform::IpRenewAddress(&map);
  if (result == platform::kErrorSuccess) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv4Address(): IPv4 Renew Succeeded");
    return static_cast<uint32_t>(V4Result::Renewed);
  }
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::RenewIPv4Address(): IPv4 Renew Failed (0x%X), Error: %ws", result,
      ErrorText(result));
  // An adapter without a gateway is not expected to reach a DHCP server; only one with a gateway counts.
  if (ValidateGatewayIP(adapter)) {
    Log(LogLevel::Debug,
        L"tamber::common::windows::device::Util::RenewIPv4Address(): Found Valid Gateway IP, Marking This Adapter In Error");
    return static_cast<uint32_t>(V4Result::Failed);
  }
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::RenewIPv4Address(): No Valid Gateway IP, Ignoging This Adapter");
  return static_cast<uint32_t>(V4Result::Skipped);
}

bool Util::RenewIPv6Address(const platform::IpAdapterAddresses* adapter) {
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv6Address(): IPv6 Is Enabled");
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv6Address(): IPv6 Metric: %d",
      adapter->ipv6Metric);
  if (Abandoned(L"IPv6 Release")) return false;
  if (common::util::Util::RunScript(Ipconfig6CommandLine(L"release6", adapter))) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv6Address(): IPv6 Release Succeeded");
  } else {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv6Address(): Failed Releasing IPv6 Address");
  }
  platform::Sleep(kPauseBetweenReleaseAndRenewMs);
  if (Abandoned(L"IPv6 Renew")) return false;
  if (common::util::Util::RunScript(Ipconfig6CommandLine(L"renew6", adapter))) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv6Address(): IPv6 Renew Succeeded");
    return true;
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPv6Address(): Failed Renewing IPv6 Address");
  return false;
}

bool Util::ReleaseIPv6Address(const platform::IpAdapterAddresses* adapter) {
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv6Address(): IPv6 Is Enabled");
  if (common::util::Util::RunScript(Ipconfig6CommandLine(L"release6", adapter))) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv6Address(): IPv6 Release Succeeded");
    return true;
  }
  Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPv6Address(): Failed Releasing IPv6 Address");
  return false;
}

bool Util::RenewIPAddressSync(IpProtocolUsage protocol, uint32_t expectedCount) {
  AdapterList adapters = GetAdapters();
  if (!adapters) {
    // Nothing renewed; the caller's address check fails the same way.
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddressSync(): No adapters found, quitting");
    return false;
  }
  RenewRequest request;
  request.protocol = protocol;
  request.expectedCount = expectedCount;
  request.adapters = adapters.get();
  uint32_t succeeded = RenewIPAddress(&request);
  adapters.reset();
  if (succeeded == 0) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::RenewIPAddressSync(): Failed to Renew IP Address");
    return false;
  }
  return true;
}

bool Util::ReleaseIPAddress(IpProtocolUsage protocol) {
  AdapterList adapters = GetAdapters();
  if (!adapters) {
    Log(LogLevel::Debug, L"tamber::common::windows::device::Util::ReleaseIPAddress(): No adapters found, quitting");
    return false;
  }
  uint32_t count = 0, succeeded = 0, failed = 0, skipped = 0;
  for (const platform::IpAdapterAddresses* adapter = adapters.get(); adapter != nullptr; adapter = adapter->next) {
    Log(LogLevel::Info,
        L"tamber::common::windows::device::Util::ReleaseIPAddress(): Attempting to release IP for adapter:");
    ++count;
    LogAdapterInfo(adapter);
    if (FilterAdapter(adapter)) {
      ++skipped;
      continue;
    }
    if (UsesIPv6(protocol, adapter)) {
      if (ReleaseIPv6Address(adapter)) {
        ++succeeded;
      } else {
        ++failed;
      }
    }
    if (UsesIPv4(protocol, adapter)) {
      if (ReleaseIPv4Address(adapter)) {
        ++succeeded;
      } else {
        ++failed;
      }
    }
  }
  Log(LogLevel::Debug,
      L"tamber::common::windows::device::Util::ReleaseIPAddress(): Adapters: %d, Succeeded: %d, Failed: %d, Skipped: %d",
      count, succeeded, failed, skipped);
  return succeeded > 0;
}

}  // namespace tamber::common::windows::device
