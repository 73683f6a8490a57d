// Network seam: the IP Helper calls, with their structures laid out byte for byte as the Windows SDK
// lays them out on 64-bit Windows.
#pragma once

#include <cstdint>

namespace tamber::platform {

constexpr uint32_t kErrorBufferOverflow = 111;
constexpr uint32_t kErrorNoData = 232;

constexpr uint32_t kMaxAdapterNameLength = 256;
constexpr uint32_t kMaxAdapterDescriptionLength = 128;
constexpr uint32_t kMaxAdapterAddressLength = 8;
constexpr uint32_t kMibIfTypeEthernet = 6;

// IP_ADDR_STRING.
struct IpAddrString {
  IpAddrString* next;
  char ipAddress[16];
  char ipMask[16];
  uint32_t context;
};

// IP_ADAPTER_INFO.
struct IpAdapterInfo {
  IpAdapterInfo* next;
  uint32_t comboIndex;
  char adapterName[kMaxAdapterNameLength + 4];
  char description[kMaxAdapterDescriptionLength + 4];
  uint32_t addressLength;
  uint8_t address[kMaxAdapterAddressLength];
  uint32_t index;
  uint32_t type;
  uint32_t dhcpEnabled;
  IpAddrString* currentIpAddress;
  IpAddrString ipAddressList;
  IpAddrString gatewayList;
  IpAddrString dhcpServer;
  int32_t haveWins;
  IpAddrString primaryWinsServer;
  IpAddrString secondaryWinsServer;
  int64_t leaseObtained;
  int64_t leaseExpires;
};
static_assert(sizeof(IpAdapterInfo) == 704, "IP_ADAPTER_INFO is 704 bytes on 64-bit Windows");

// GetAdaptersInfo: the IPv4 adapters as a list of IpAdapterInfo in buffer (further address strings
// of an adapter are kept in the same buffer). ERROR_BUFFER_OVERFLOW with *size set to what is needed
// when the buffer is too small or null; ERROR_NO_DATA when there is no adapter.
uint32_t GetAdaptersInfo(IpAdapterInfo* buffer, uint32_t* size);

}  // namespace tamber::platform
