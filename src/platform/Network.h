// Network seam: the IP Helper calls, with their structures laid out byte for byte as the Windows SDK
// lays them out on 64-bit Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

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

// ---- Adapter addresses (GetAdaptersAddresses), the LH layouts of the 64-bit SDK. ----

constexpr uint16_t kAfUnspec = 0;
constexpr uint16_t kAfInet = 2;
constexpr uint16_t kAfInet6 = 23;

// GetAdaptersAddresses flags.
constexpr uint32_t kGaaFlagIncludePrefix = 0x0010;
constexpr uint32_t kGaaFlagIncludeGateways = 0x0080;

// IP_ADAPTER_ADDRESSES flags.
constexpr uint32_t kIpAdapterDdnsEnabled = 0x0001;
constexpr uint32_t kIpAdapterRegisterAdapterSuffix = 0x0002;
constexpr uint32_t kIpAdapterDhcpEnabled = 0x0004;
constexpr uint32_t kIpAdapterReceiveOnly = 0x0008;
constexpr uint32_t kIpAdapterNoMulticast = 0x0010;
constexpr uint32_t kIpAdapterIpv6OtherStatefulConfig = 0x0020;
constexpr uint32_t kIpAdapterNetbiosOverTcpipEnabled = 0x0040;
constexpr uint32_t kIpAdapterIpv4Enabled = 0x0080;
constexpr uint32_t kIpAdapterIpv6Enabled = 0x0100;
constexpr uint32_t kIpAdapterIpv6ManageAddressConfig = 0x0200;

// IF_OPER_STATUS, IFTYPE and TUNNEL_TYPE values the agent names.
constexpr uint32_t kIfOperStatusUp = 1;
constexpr uint32_t kIfOperStatusDown = 2;
constexpr uint32_t kIfTypeOther = 1;
constexpr uint32_t kIfTypeEthernetCsmacd = 6;
constexpr uint32_t kIfTypeSoftwareLoopback = 24;
constexpr uint32_t kIfTypeIeee80211 = 71;
constexpr uint32_t kIfTypeTunnel = 131;
constexpr uint32_t kTunnelTypeNone = 0;
constexpr uint32_t kTunnelTypeIsatap = 13;
constexpr uint32_t kTunnelTypeTeredo = 14;

constexpr uint32_t kMaxDhcpv6DuidLength = 130;

// SOCKADDR (generic header).
struct SockAddr {
  uint16_t family;
  char data[14];
};
static_assert(sizeof(SockAddr) == 16);

// SOCKADDR_IN: port and address in network byte order.
struct SockAddrIn {
  uint16_t family;
  uint16_t port;
  uint8_t address[4];
  char zero[8];
};
static_assert(sizeof(SockAddrIn) == 16);

// SOCKADDR_IN6.
struct SockAddrIn6 {
  uint16_t family;
  uint16_t port;
  uint32_t flowInfo;
  uint8_t address[16];
  uint32_t scopeId;
};
static_assert(sizeof(SockAddrIn6) == 28);

// SOCKET_ADDRESS.
struct SocketAddress {
  SockAddr* sockaddr;
  int32_t length;
};
static_assert(sizeof(SocketAddress) == 16);

// IP_ADAPTER_UNICAST_ADDRESS_LH.
struct IpAdapterUnicastAddress {
  uint32_t length;
  uint32_t flags;
  IpAdapterUnicastAddress* next;
  SocketAddress address;
  int32_t prefixOrigin;
  int32_t suffixOrigin;
  int32_t dadState;
  uint32_t validLifetime;
  uint32_t preferredLifetime;
  uint32_t leaseLifetime;
  uint8_t onLinkPrefixLength;
};
static_assert(sizeof(IpAdapterUnicastAddress) == 64);

// IP_ADAPTER_DNS_SERVER_ADDRESS_XP; the gateway, anycast, multicast, WINS and prefix records share this head.
struct IpAdapterDnsServerAddress {
  uint32_t length;
  uint32_t reserved;
  IpAdapterDnsServerAddress* next;
  SocketAddress address;
};
static_assert(sizeof(IpAdapterDnsServerAddress) == 32);

// IP_ADAPTER_GATEWAY_ADDRESS_LH.
struct IpAdapterGatewayAddress {
  uint32_t length;
  uint32_t reserved;
  IpAdapterGatewayAddress* next;
  SocketAddress address;
};
static_assert(sizeof(IpAdapterGatewayAddress) == 32);

// Records the agent never reads; only their place in the list head matters.
struct IpAdapterOtherAddress;

// IP_ADAPTER_ADDRESSES_LH.
struct IpAdapterAddresses {
  uint32_t length;
  uint32_t ifIndex;  // IPv4 interface index
  IpAdapterAddresses* next;
  char* adapterName;  // "{GUID}"
  IpAdapterUnicastAddress* firstUnicastAddress;
  IpAdapterOtherAddress* firstAnycastAddress;
  IpAdapterOtherAddress* firstMulticastAddress;
  IpAdapterDnsServerAddress* firstDnsServerAddress;
  wchar_t* dnsSuffix;
  wchar_t* description;
  wchar_t* friendlyName;
  uint8_t physicalAddress[kMaxAdapterAddressLength];
  uint32_t physicalAddressLength;
  uint32_t flags;
  uint32_t mtu;
  uint32_t ifType;
  int32_t operStatus;
  uint32_t ipv6IfIndex;
  uint32_t zoneIndices[16];
  IpAdapterOtherAddress* firstPrefix;
  uint64_t transmitLinkSpeed;
  uint64_t receiveLinkSpeed;
  IpAdapterOtherAddress* firstWinsServerAddress;
  IpAdapterGatewayAddress* firstGatewayAddress;
  uint32_t ipv4Metric;
  uint32_t ipv6Metric;
  uint64_t luid;
  SocketAddress dhcpv4Server;
  uint32_t compartmentId;
  uint8_t networkGuid[16];
  int32_t connectionType;
  int32_t tunnelType;
  SocketAddress dhcpv6Server;
  uint8_t dhcpv6ClientDuid[kMaxDhcpv6DuidLength];
  uint32_t dhcpv6ClientDuidLength;
  uint32_t dhcpv6Iaid;
  IpAdapterOtherAddress* firstDnsSuffix;
};
static_assert(offsetof(IpAdapterAddresses, physicalAddress) == 80);
static_assert(offsetof(IpAdapterAddresses, flags) == 92);
static_assert(offsetof(IpAdapterAddresses, ipv6IfIndex) == 108);
static_assert(offsetof(IpAdapterAddresses, firstGatewayAddress) == 208);
static_assert(offsetof(IpAdapterAddresses, dhcpv4Server) == 232);
static_assert(offsetof(IpAdapterAddresses, tunnelType) == 272);
static_assert(offsetof(IpAdapterAddresses, dhcpv6Server) == 280);
static_assert(sizeof(IpAdapterAddresses) == 448, "IP_ADAPTER_ADDRESSES_LH is 448 bytes on 64-bit Windows");

// GetAdaptersAddresses: the adapters as a linked list in buffer (every record and text the list points
// to lives in the same buffer). ERROR_BUFFER_OVERFLOW with *size set when buffer is null or too small;
// ERROR_NO_DATA when there is no adapter; ERROR_INVALID_PARAMETER on a bad family or null size.
uint32_t GetAdaptersAddresses(uint32_t family, uint32_t flags, void* reserved, IpAdapterAddresses* buffer,
                              uint32_t* size);

// The process heap (GetProcessHeap/HeapAlloc/HeapFree). An adapter list is one block of this heap that the
// caller frees. HeapAlloc yields null on failure.
constexpr uint32_t kHeapZeroMemory = 0x00000008;
Handle GetProcessHeap();
void* HeapAlloc(Handle heap, uint32_t flags, size_t bytes);
bool HeapFree(Handle heap, uint32_t flags, void* memory);

}  // namespace tamber::platform
