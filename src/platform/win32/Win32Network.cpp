// IP Helper: the calls themselves. The seam's structures are the SDK's, byte for byte.
#include "platform/Network.h"

#include <cstddef>

#include "platform/win32/Win32Api.h"

// Winsock types, then iphlpapi.h, after windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

// iphlpapi.h declares the adapter-address records only after winsock2.h.
#include <iphlpapi.h>

namespace tamber::platform {

static_assert(sizeof(IP_ADAPTER_INFO) == sizeof(IpAdapterInfo));
static_assert(sizeof(IP_ADDR_STRING) == sizeof(IpAddrString));
static_assert(offsetof(IP_ADAPTER_INFO, Address) == offsetof(IpAdapterInfo, address));
static_assert(offsetof(IP_ADAPTER_INFO, IpAddressList) == offsetof(IpAdapterInfo, ipAddressList));
static_assert(offsetof(IP_ADAPTER_INFO, LeaseExpires) == offsetof(IpAdapterInfo, leaseExpires));
static_assert(ERROR_BUFFER_OVERFLOW == kErrorBufferOverflow && ERROR_NO_DATA == kErrorNoData);

uint32_t GetAdaptersInfo(IpAdapterInfo* buffer, uint32_t* size) {
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  ULONG length = *size;
  DWORD result = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer), &length);
  *size = length;
  return result;
}

static_assert(sizeof(IP_ADAPTER_ADDRESSES_LH) == sizeof(IpAdapterAddresses));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, IfIndex) == offsetof(IpAdapterAddresses, ifIndex));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Next) == offsetof(IpAdapterAddresses, next));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, AdapterName) == offsetof(IpAdapterAddresses, adapterName));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, FirstUnicastAddress) ==
              offsetof(IpAdapterAddresses, firstUnicastAddress));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, FirstDnsServerAddress) ==
              offsetof(IpAdapterAddresses, firstDnsServerAddress));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Description) == offsetof(IpAdapterAddresses, description));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, FriendlyName) == offsetof(IpAdapterAddresses, friendlyName));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, PhysicalAddress) == offsetof(IpAdapterAddresses, physicalAddress));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Flags) == offsetof(IpAdapterAddresses, flags));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, IfType) == offsetof(IpAdapterAddresses, ifType));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, OperStatus) == offsetof(IpAdapterAddresses, operStatus));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Ipv6IfIndex) == offsetof(IpAdapterAddresses, ipv6IfIndex));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, FirstGatewayAddress) ==
              offsetof(IpAdapterAddresses, firstGatewayAddress));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Ipv4Metric) == offsetof(IpAdapterAddresses, ipv4Metric));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Ipv6Metric) == offsetof(IpAdapterAddresses, ipv6Metric));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Dhcpv4Server) == offsetof(IpAdapterAddresses, dhcpv4Server));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, TunnelType) == offsetof(IpAdapterAddresses, tunnelType));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, Dhcpv6Server) == offsetof(IpAdapterAddresses, dhcpv6Server));
static_assert(offsetof(IP_ADAPTER_ADDRESSES_LH, FirstDnsSuffix) == offsetof(IpAdapterAddresses, firstDnsSuffix));
static_assert(sizeof(IP_ADAPTER_UNICAST_ADDRESS_LH) == sizeof(IpAdapterUnicastAddress));
static_assert(offsetof(IP_ADAPTER_UNICAST_ADDRESS_LH, Address) == offsetof(IpAdapterUnicastAddress, address));
static_assert(offsetof(IP_ADAPTER_UNICAST_ADDRESS_LH, OnLinkPrefixLength) ==
              offsetof(IpAdapterUnicastAddress, onLinkPrefixLength));
static_assert(sizeof(IP_ADAPTER_DNS_SERVER_ADDRESS_XP) == sizeof(IpAdapterDnsServerAddress));
static_assert(offsetof(IP_ADAPTER_DNS_SERVER_ADDRESS_XP, Address) == offsetof(IpAdapterDnsServerAddress, address));
static_assert(sizeof(IP_ADAPTER_GATEWAY_ADDRESS_LH) == sizeof(IpAdapterGatewayAddress));
static_assert(offsetof(IP_ADAPTER_GATEWAY_ADDRESS_LH, Address) == offsetof(IpAdapterGatewayAddress, address));
static_assert(sizeof(SOCKET_ADDRESS) == sizeof(SocketAddress));
static_assert(offsetof(SOCKET_ADDRESS, iSockaddrLength) == offsetof(SocketAddress, length));
static_assert(sizeof(SOCKADDR_IN) == sizeof(SockAddrIn));
static_assert(offsetof(SOCKADDR_IN, sin_addr) == offsetof(SockAddrIn, address));
static_assert(sizeof(SOCKADDR_IN6) == sizeof(SockAddrIn6));
static_assert(offsetof(SOCKADDR_IN6, sin6_addr) == offsetof(SockAddrIn6, address));
static_assert(offsetof(SOCKADDR_IN6, sin6_scope_id) == offsetof(SockAddrIn6, scopeId));
static_assert(AF_INET == kAfInet && AF_INET6 == kAfInet6 && AF_UNSPEC == kAfUnspec);
static_assert(GAA_FLAG_INCLUDE_GATEWAYS == kGaaFlagIncludeGateways && GAA_FLAG_INCLUDE_PREFIX == kGaaFlagIncludePrefix);
static_assert(HEAP_ZERO_MEMORY == kHeapZeroMemory);

uint32_t GetAdaptersAddresses(uint32_t family, uint32_t flags, void* reserved, IpAdapterAddresses* buffer,
                              uint32_t* size) {
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  ULONG length = *size;
  ULONG result =
      ::GetAdaptersAddresses(family, flags, reserved, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer), &length);
  *size = length;
  return result;
}

Handle GetProcessHeap() { return ::GetProcessHeap(); }

void* HeapAlloc(Handle heap, uint32_t flags, size_t bytes) { return ::HeapAlloc(heap, flags, bytes); }

bool HeapFree(Handle heap, uint32_t flags, void* memory) { return ::HeapFree(heap, flags, memory) != FALSE; }

}  // namespace tamber::platform
