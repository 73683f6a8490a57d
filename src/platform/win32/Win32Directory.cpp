// Domain controller locator: the netapi32 calls themselves. DOMAIN_CONTROLLER_INFOW is the SDK's, byte
// for byte. The enumeration calls are looked up at run time: not every netapi32 exports them under their
// W names (Wine's does not), and a missing import would keep the whole program from loading.
#include "platform/Directory.h"

#include <cstddef>

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Out.h"

// After windows.h: Winsock first (the enumeration's address records), then the network management headers,
// whose types come from lmcons.h.
#include <winsock2.h>

#include <dsgetdc.h>
#include <lmcons.h>

#include <lmapibuf.h>
#include <lmerr.h>

namespace tamber::platform {

static_assert(sizeof(DOMAIN_CONTROLLER_INFOW) == sizeof(DomainControllerInfoW));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, DomainControllerName) ==
              offsetof(DomainControllerInfoW, domainControllerName));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, DomainControllerAddressType) ==
              offsetof(DomainControllerInfoW, domainControllerAddressType));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, DomainGuid) == offsetof(DomainControllerInfoW, domainGuid));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, DomainName) == offsetof(DomainControllerInfoW, domainName));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, DnsForestName) == offsetof(DomainControllerInfoW, dnsForestName));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, Flags) == offsetof(DomainControllerInfoW, flags));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, DcSiteName) == offsetof(DomainControllerInfoW, dcSiteName));
static_assert(offsetof(DOMAIN_CONTROLLER_INFOW, ClientSiteName) == offsetof(DomainControllerInfoW, clientSiteName));
static_assert(sizeof(SOCKET_ADDRESS) == sizeof(SocketAddress));
static_assert(DS_RETURN_DNS_NAME == kDsReturnDnsName && DS_RETURN_FLAT_NAME == kDsReturnFlatName &&
              DS_FORCE_REDISCOVERY == kDsForceRediscovery);
static_assert(DS_PDC_FLAG == kDsPdcFlag && DS_GC_FLAG == kDsGcFlag && DS_LDAP_FLAG == kDsLdapFlag &&
              DS_DS_FLAG == kDsDsFlag && DS_KDC_FLAG == kDsKdcFlag && DS_TIMESERV_FLAG == kDsTimeservFlag &&
              DS_CLOSEST_FLAG == kDsClosestFlag && DS_WRITABLE_FLAG == kDsWritableFlag &&
              DS_DNS_CONTROLLER_FLAG == kDsDnsControllerFlag && DS_DNS_DOMAIN_FLAG == kDsDnsDomainFlag &&
              DS_DNS_FOREST_FLAG == kDsDnsForestFlag);
static_assert(DS_INET_ADDRESS == kDsInetAddress && DS_NETBIOS_ADDRESS == kDsNetbiosAddress);
static_assert(ERROR_NO_MORE_ITEMS == kErrorNoMoreItems && ERROR_FILEMARK_DETECTED == kErrorFilemarkDetected &&
              ERROR_NO_LOGON_SERVERS == kErrorNoLogonServers && ERROR_NO_SUCH_DOMAIN == kErrorNoSuchDomain &&
              ERROR_NO_SITENAME == kErrorNoSiteName && ERROR_PROC_NOT_FOUND == kErrorProcNotFound);

namespace {

// The enumeration calls as dsgetdc.h declares them.
using DsGetDcOpenFn = DWORD(WINAPI*)(LPCWSTR, ULONG, LPCWSTR, GUID*, LPCWSTR, ULONG, PHANDLE);
using DsGetDcNextFn = DWORD(WINAPI*)(HANDLE, PULONG, LPSOCKET_ADDRESS*, LPWSTR*);
using DsGetDcCloseFn = VOID(WINAPI*)(HANDLE);

template <class Fn>
Fn Lookup(const char* name) {
  // netapi32 is loaded already: DsGetDcNameW is imported from it.
  HMODULE netapi = ::GetModuleHandleW(L"netapi32.dll");
  if (netapi == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(netapi, name)));
}

}  // namespace

uint32_t DsGetDcNameW(const wchar_t* computerName, const wchar_t* domainName, const Guid* domainGuid,
                      const wchar_t* siteName, uint32_t flags, DomainControllerInfoW** info) {
  return ::DsGetDcNameW(computerName, domainName, reinterpret_cast<GUID*>(const_cast<Guid*>(domainGuid)), siteName,
                        flags, reinterpret_cast<PDOMAIN_CONTROLLER_INFOW*>(info));
}

uint32_t DsGetSiteNameW(const wchar_t* computerName, wchar_t** siteName) {
  return ::DsGetSiteNameW(computerName, siteName);
}

uint32_t DsGetDcOpenW(const wchar_t* dnsName, uint32_t optionFlags, const wchar_t* siteName, const Guid* domainGuid,
                      const wchar_t* dnsForestName, uint32_t dcFlags, Handle* context) {
  static const auto open = Lookup<DsGetDcOpenFn>("DsGetDcOpenW");
  if (open == nullptr) return ERROR_PROC_NOT_FOUND;
  return open(dnsName, optionFlags, siteName, reinterpret_cast<GUID*>(const_cast<Guid*>(domainGuid)), dnsForestName,
              dcFlags, reinterpret_cast<PHANDLE>(context));
}

uint32_t DsGetDcNextW(Handle context, uint32_t* sockAddressCount, SocketAddress** sockAddresses,
                      wchar_t** dnsHostName) {
  static const auto next = Lookup<DsGetDcNextFn>("DsGetDcNextW");
  if (next == nullptr) return ERROR_PROC_NOT_FOUND;
  win32::Out<ULONG, uint32_t> count(sockAddressCount);
  return next(context, count.get(), reinterpret_cast<LPSOCKET_ADDRESS*>(sockAddresses), dnsHostName);
}

void DsGetDcCloseW(Handle context) {
  static const auto close = Lookup<DsGetDcCloseFn>("DsGetDcCloseW");
  if (close != nullptr) close(context);
}

uint32_t NetApiBufferFree(void* buffer) { return ::NetApiBufferFree(buffer); }

}  // namespace tamber::platform
