// IPv4 lease release and renewal through the IP Helper, and the system's message text for a Win32 code.
#pragma once

#include <cstdint>
#include <string>

namespace tamber::platform {

constexpr uint32_t kMaxAdapterName = 128;
constexpr uint32_t kErrorSemTimeout = 121;             // DHCP did not answer in time
constexpr uint32_t kErrorAddressNotAssociated = 1228;  // the adapter holds no DHCP lease
constexpr uint32_t kErrorDhcpAddressConflict = 4100;   // the offered address is in use
constexpr uint32_t kErrorNotFound = 1168;              // no adapter with this index
constexpr uint32_t kErrorGenFailure = 31;              // a device attached to the system is not functioning
constexpr uint32_t kErrorNetworkUnreachable = 1231;    // the network location cannot be reached

// IP_ADAPTER_INDEX_MAP: the IPv4 interface index and the adapter name ("\DEVICE\TCPIP_{GUID}") in
// UTF-16, 260 bytes as on Windows whatever the width of wchar_t.
struct IpAdapterIndexMap {
  uint32_t index;
  char16_t name[kMaxAdapterName];
};
static_assert(sizeof(IpAdapterIndexMap) == 260, "IP_ADAPTER_INDEX_MAP is 260 bytes");

// IpReleaseAddress: gives the adapter's DHCP lease back. ERROR_ADDRESS_NOT_ASSOCIATED when it has none.
uint32_t IpReleaseAddress(const IpAdapterIndexMap* adapter);
// IpRenewAddress: asks the DHCP server for a lease and waits for the answer (or the stack's own
// time-out, after which the adapter may be left with an autoconfiguration address).
uint32_t IpRenewAddress(const IpAdapterIndexMap* adapter);

// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) in the default language:
// the text as the system keeps it (usually ending with CR LF); empty when the code has no text.
std::wstring FormatSystemMessage(uint32_t code);

}  // namespace tamber::platform
