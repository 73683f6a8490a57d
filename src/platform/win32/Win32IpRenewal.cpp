// IPv4 lease release and renewal, and system message texts: the Win32 calls themselves.
#include "platform/IpRenewal.h"

#include <cstddef>
#include <cstring>

#include "platform/win32/Win32Api.h"

// iphlpapi.h after windows.h.
#include <iphlpapi.h>

namespace tamber::platform {

static_assert(sizeof(IP_ADAPTER_INDEX_MAP) == sizeof(IpAdapterIndexMap));
static_assert(offsetof(IP_ADAPTER_INDEX_MAP, Name) == offsetof(IpAdapterIndexMap, name));
static_assert(MAX_ADAPTER_NAME == kMaxAdapterName);
static_assert(ERROR_ADDRESS_NOT_ASSOCIATED == kErrorAddressNotAssociated && ERROR_SEM_TIMEOUT == kErrorSemTimeout);
static_assert(ERROR_NOT_FOUND == kErrorNotFound && ERROR_GEN_FAILURE == kErrorGenFailure);
static_assert(ERROR_NETWORK_UNREACHABLE == kErrorNetworkUnreachable);

namespace {

// The calls take a non-const record; the caller's stays untouched.
IP_ADAPTER_INDEX_MAP ToIndexMap(const IpAdapterIndexMap* adapter) {
  IP_ADAPTER_INDEX_MAP map{};
  std::memcpy(&map, adapter, sizeof(map));
  return map;
}

}  // namespace

uint32_t IpReleaseAddress(const IpAdapterIndexMap* adapter) {
  if (adapter == nullptr) return ERROR_INVALID_PARAMETER;
  IP_ADAPTER_INDEX_MAP map = ToIndexMap(adapter);
  return ::IpReleaseAddress(&map);
}

uint32_t IpRenewAddress(const IpAdapterIndexMap* adapter) {
  if (adapter == nullptr) return ERROR_INVALID_PARAMETER;
  IP_ADAPTER_INDEX_MAP map = ToIndexMap(adapter);
  return ::IpRenewAddress(&map);
}

std::wstring FormatSystemMessage(uint32_t code) {
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length != 0 && buffer != nullptr) text.assign(buffer, length);
  if (buffer != nullptr) ::LocalFree(buffer);
  return text;
}

}  // namespace tamber::platform
