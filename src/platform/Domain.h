// Domain membership seam: joining a domain (netapi32 NetJoinDomain), the Netlogon control call that
// verifies the secure channel (I_NetLogonControl2), the machine's next computer name (kernel32
// SetComputerNameExA) and the caller's name in another form (secur32 GetUserNameExW). Arguments, option
// bits and NETLOGON_INFO_2 are those of the SDK on 64-bit Windows; results are Win32 error codes (0 on
// success), also for the calls that return a BOOL and set the last error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"  // kErrorMoreData

namespace tamber::platform {

// NetJoinDomain options (lmjoin.h).
constexpr uint32_t kNetsetupJoinDomain = 0x00000001;
constexpr uint32_t kNetsetupAcctCreate = 0x00000002;
constexpr uint32_t kNetsetupAcctDelete = 0x00000004;
constexpr uint32_t kNetsetupDomainJoinIfJoined = 0x00000020;
constexpr uint32_t kNetsetupJoinUnsecure = 0x00000040;
constexpr uint32_t kNetsetupMachinePwdPassed = 0x00000080;
constexpr uint32_t kNetsetupJoinWithNewName = 0x00000400;

// Errors of this area.
constexpr uint32_t kErrorBadNetpath = 53;
constexpr uint32_t kErrorNoneMapped = 1332;
constexpr uint32_t kErrorNoTrustSamAccount = 1787;
constexpr uint32_t kErrorTrustedRelationshipFailure = 1789;

// I_NetLogonControl2 function codes and the flags of NETLOGON_INFO_2.
constexpr uint32_t kNetlogonControlTcVerify = 10;
constexpr uint32_t kNetlogonVerifyStatusReturned = 0x80;

// NETLOGON_INFO_2. When kNetlogonVerifyStatusReturned is set, pdcConnectionStatus carries the status of
// the trust verification.
struct NetlogonInfo2 {
  uint32_t flags;
  uint32_t pdcConnectionStatus;
  wchar_t* trustedDcName;  // "\\" and the controller's name
  uint32_t tcConnectionStatus;
};
static_assert(offsetof(NetlogonInfo2, trustedDcName) == 8);
static_assert(offsetof(NetlogonInfo2, tcConnectionStatus) == 16);
static_assert(sizeof(NetlogonInfo2) == 24, "NETLOGON_INFO_2 is 24 bytes on 64-bit Windows");

// COMPUTER_NAME_FORMAT and EXTENDED_NAME_FORMAT values.
constexpr uint32_t kComputerNamePhysicalDnsHostname = 5;
constexpr uint32_t kNameUserPrincipal = 8;

// NetJoinDomain: domain is "domain" or "domain\controller"; server, accountOU and account may be null.
uint32_t NetJoinDomain(const wchar_t* server, const wchar_t* domain, const wchar_t* accountOU, const wchar_t* account,
                       const wchar_t* password, uint32_t options);

// I_NetLogonControl2: for kNetlogonControlTcVerify, data points to the domain name's pointer (a
// const wchar_t*) and level 2 returns a NetlogonInfo2 in *buffer, freed with NetApiBufferFree.
uint32_t I_NetLogonControl2(const wchar_t* serverName, uint32_t functionCode, uint32_t queryLevel, const void* data,
                            uint8_t** buffer);

// SetComputerNameExA: the name the machine takes at its next boot.
uint32_t SetComputerNameExA(uint32_t nameType, const char* name);

// GetUserNameExW: *size is the buffer's length in characters; on success the name's length without the
// terminator, on kErrorMoreData the length needed with it.
uint32_t GetUserNameExW(uint32_t nameFormat, wchar_t* buffer, uint32_t* size);

}  // namespace tamber::platform
