// Directory seam: the domain controller locator calls of netapi32 (DsGetDcNameW, DsGetSiteNameW, the
// DsGetDcOpenW/DsGetDcNextW/DsGetDcCloseW enumeration) and NetApiBufferFree, with their arguments,
// results and DOMAIN_CONTROLLER_INFOW laid out byte for byte as on 64-bit Windows.
// Results are Win32 error codes (0 on success), as the calls return them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Devices.h"  // Guid
#include "platform/Network.h"  // SocketAddress
#include "platform/Types.h"

namespace tamber::platform {

// Errors of this area (the enumeration ends with kErrorNoMoreItems, 259).
constexpr uint32_t kErrorFilemarkDetected = 1101;  // the site-specific records are done
constexpr uint32_t kErrorNoLogonServers = 1311;
constexpr uint32_t kErrorNoSuchDomain = 1355;
constexpr uint32_t kErrorNoSiteName = 1919;
constexpr uint32_t kErrorProcNotFound = 127;  // the call is missing from this system's netapi32

// DsGetDcNameW flags.
constexpr uint32_t kDsForceRediscovery = 0x00000001;
constexpr uint32_t kDsReturnDnsName = 0x40000000;
constexpr uint32_t kDsReturnFlatName = 0x80000000;

// DOMAIN_CONTROLLER_INFOW flags (what the controller is and does).
constexpr uint32_t kDsPdcFlag = 0x00000001;
constexpr uint32_t kDsGcFlag = 0x00000004;
constexpr uint32_t kDsLdapFlag = 0x00000008;
constexpr uint32_t kDsDsFlag = 0x00000010;
constexpr uint32_t kDsKdcFlag = 0x00000020;
constexpr uint32_t kDsTimeservFlag = 0x00000040;
constexpr uint32_t kDsClosestFlag = 0x00000080;
constexpr uint32_t kDsWritableFlag = 0x00000100;
constexpr uint32_t kDsDnsControllerFlag = 0x20000000;
constexpr uint32_t kDsDnsDomainFlag = 0x40000000;
constexpr uint32_t kDsDnsForestFlag = 0x80000000;

// DomainControllerAddressType.
constexpr uint32_t kDsInetAddress = 1;
constexpr uint32_t kDsNetbiosAddress = 2;

// DsGetDcOpenW options.
constexpr uint32_t kDsOnlyDoSiteName = 0x01;
constexpr uint32_t kDsNotifyAfterSiteRecords = 0x02;

// DOMAIN_CONTROLLER_INFOW. The record and the texts it points to are one buffer for NetApiBufferFree.
struct DomainControllerInfoW {
  wchar_t* domainControllerName;     // "\\" and the controller's name
  wchar_t* domainControllerAddress;  // "\\" and its address
  uint32_t domainControllerAddressType;
  Guid domainGuid;
  wchar_t* domainName;
  wchar_t* dnsForestName;
  uint32_t flags;
  wchar_t* dcSiteName;
  wchar_t* clientSiteName;
};
static_assert(offsetof(DomainControllerInfoW, domainGuid) == 20);
static_assert(offsetof(DomainControllerInfoW, domainName) == 40);
static_assert(offsetof(DomainControllerInfoW, flags) == 56);
static_assert(sizeof(DomainControllerInfoW) == 80, "DOMAIN_CONTROLLER_INFOW is 80 bytes on 64-bit Windows");

// DsGetDcNameW: a controller of the domain (null: the machine's own domain), in the site when one is
// named. *info is a NetApiBufferFree buffer on success and left alone on failure.
uint32_t DsGetDcNameW(const wchar_t* computerName, const wchar_t* domainName, const Guid* domainGuid,
                      const wchar_t* siteName, uint32_t flags, DomainControllerInfoW** info);

// DsGetSiteNameW: the site of the computer (null: this one) as a NetApiBufferFree buffer.
uint32_t DsGetSiteNameW(const wchar_t* computerName, wchar_t** siteName);

// DsGetDcOpenW: starts an enumeration of the domain's controllers (with kDsOnlyDoSiteName, only those
// of the site; a null site is the computer's own). *context is closed with DsGetDcCloseW.
uint32_t DsGetDcOpenW(const wchar_t* dnsName, uint32_t optionFlags, const wchar_t* siteName, const Guid* domainGuid,
                      const wchar_t* dnsForestName, uint32_t dcFlags, Handle* context);

// DsGetDcNextW: the next controller's DNS host name (a NetApiBufferFree buffer) and, when asked, its
// addresses (an array the system allocates with LocalAlloc; the agent never asks for them). Ends with
// ERROR_NO_MORE_ITEMS, or ERROR_FILEMARK_DETECTED after the site's records when the enumeration was
// opened with kDsNotifyAfterSiteRecords. Every out-parameter may be null.
uint32_t DsGetDcNextW(Handle context, uint32_t* sockAddressCount, SocketAddress** sockAddresses, wchar_t** dnsHostName);

void DsGetDcCloseW(Handle context);

// NetApiBufferFree: frees a buffer the calls above returned; null is allowed.
uint32_t NetApiBufferFree(void* buffer);

}  // namespace tamber::platform
