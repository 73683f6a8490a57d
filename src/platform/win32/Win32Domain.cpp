// Domain membership: the netapi32, kernel32 and secur32 calls themselves. NETLOGON_INFO_2 is the SDK's,
// byte for byte.
#include "platform/Domain.h"

#include "platform/win32/Win32Api.h"

#include <lmcons.h>

#include <lmaccess.h>
#include <lmerr.h>
#include <lmjoin.h>
#define SECURITY_WIN32
#include <secext.h>

namespace tamber::platform {

static_assert(sizeof(NETLOGON_INFO_2) == sizeof(NetlogonInfo2));
static_assert(offsetof(NETLOGON_INFO_2, netlog2_pdc_connection_status) == offsetof(NetlogonInfo2, pdcConnectionStatus));
static_assert(offsetof(NETLOGON_INFO_2, netlog2_trusted_dc_name) == offsetof(NetlogonInfo2, trustedDcName));
static_assert(offsetof(NETLOGON_INFO_2, netlog2_tc_connection_status) == offsetof(NetlogonInfo2, tcConnectionStatus));
static_assert(NETSETUP_JOIN_DOMAIN == kNetsetupJoinDomain && NETSETUP_ACCT_CREATE == kNetsetupAcctCreate &&
              NETSETUP_ACCT_DELETE == kNetsetupAcctDelete &&
              NETSETUP_DOMAIN_JOIN_IF_JOINED == kNetsetupDomainJoinIfJoined &&
              NETSETUP_JOIN_UNSECURE == kNetsetupJoinUnsecure &&
              NETSETUP_MACHINE_PWD_PASSED == kNetsetupMachinePwdPassed);
// mingw's lmjoin.h stops before NETSETUP_JOIN_WITH_NEW_NAME; the SDK's value is 0x400.
static_assert(kNetsetupJoinWithNewName == 0x00000400);
static_assert(NETLOGON_CONTROL_TC_VERIFY == kNetlogonControlTcVerify &&
              NETLOGON_VERIFY_STATUS_RETURNED == kNetlogonVerifyStatusReturned);
static_assert(ComputerNamePhysicalDnsHostname == kComputerNamePhysicalDnsHostname &&
              NameUserPrincipal == kNameUserPrincipal);
static_assert(ERROR_BAD_NETPATH == kErrorBadNetpath && ERROR_MORE_DATA == kErrorMoreData &&
              ERROR_NONE_MAPPED == kErrorNoneMapped && ERROR_NO_TRUST_SAM_ACCOUNT == kErrorNoTrustSamAccount &&
              ERROR_TRUSTED_RELATIONSHIP_FAILURE == kErrorTrustedRelationshipFailure);

uint32_t NetJoinDomain(const wchar_t* server, const wchar_t* domain, const wchar_t* accountOU, const wchar_t* account,
                       const wchar_t* password, uint32_t options) {
  return ::NetJoinDomain(server, domain, accountOU, account, password, options);
}

namespace {

// Wine's netapi32 exports I_NetLogonControl2 as a stub that raises an exception when it is called (Windows
// always implements it). The agent runs under Wine in the Wine tier, so there the call reports
// ERROR_NOT_SUPPORTED instead of ending the process.
bool IsStubbedByWine() {
  static const bool wine = [] {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace

uint32_t I_NetLogonControl2(const wchar_t* serverName, uint32_t functionCode, uint32_t queryLevel, const void* data,
                            uint8_t** buffer) {
  if (IsStubbedByWine()) return ERROR_NOT_SUPPORTED;
  return ::I_NetLogonControl2(serverName, functionCode, queryLevel, reinterpret_cast<LPBYTE>(const_cast<void*>(data)),
                              reinterpret_cast<LPBYTE*>(buffer));
}

uint32_t SetComputerNameExA(uint32_t nameType, const char* name) {
  // mingw declares the A function with a TCHAR text; the function itself takes narrow text, as the SDK says.
  if (::SetComputerNameExA(static_cast<COMPUTER_NAME_FORMAT>(nameType), reinterpret_cast<LPCTSTR>(name))) {
    return ERROR_SUCCESS;
  }
  return ::GetLastError();
}

uint32_t GetUserNameExW(uint32_t nameFormat, wchar_t* buffer, uint32_t* size) {
  ULONG length = *size;
  if (::GetUserNameExW(static_cast<EXTENDED_NAME_FORMAT>(nameFormat), buffer, &length)) {
    *size = length;
    return ERROR_SUCCESS;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_MORE_DATA) *size = length;
  return error;
}

}  // namespace tamber::platform
