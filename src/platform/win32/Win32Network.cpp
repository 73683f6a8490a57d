// IP Helper: the calls themselves. The seam's structures are the SDK's, byte for byte.
#include "platform/Network.h"

#include <cstddef>

#include "platform/win32/Win32Api.h"

// iphlpapi.h after windows.h.
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

}  // namespace tamber::platform
