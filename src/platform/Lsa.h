// LSA seam: the policy object and its private data (secrets), with the LSA's arguments and NTSTATUS
// results. Strings are counted: Length and MaximumLength in bytes, Buffer UTF-16LE bytes on every build
// (the layout of LSA_UNICODE_STRING). A secret's value is any bytes, not necessarily text.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform {

using LsaHandle = void*;

struct LsaUnicodeString {
  uint16_t Length;         // bytes in use
  uint16_t MaximumLength;  // bytes of Buffer
  uint8_t* Buffer;
};

// Unused by the LSA; callers pass it zeroed.
struct LsaObjectAttributes {
  uint32_t Length;
  void* RootDirectory;
  LsaUnicodeString* ObjectName;
  uint32_t Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
};

// Policy access rights.
constexpr uint32_t kPolicyGetPrivateInformation = 0x00000004;
constexpr uint32_t kPolicyCreateSecret = 0x00000020;
constexpr uint32_t kPolicyAllAccess = 0x000F0FFF;

// The longest value a counted string carries: an even byte count below 65536.
constexpr uint32_t kLsaMaxStringBytes = 65534;

// systemName null: the local system.
NtStatus LsaOpenPolicy(const LsaUnicodeString* systemName, const LsaObjectAttributes* objectAttributes,
                       uint32_t desiredAccess, LsaHandle* policy);
// Stores privateData under keyName (creating the secret needs POLICY_CREATE_SECRET); privateData null
// deletes the secret, after which a retrieval gives STATUS_OBJECT_NAME_NOT_FOUND.
NtStatus LsaStorePrivateData(LsaHandle policy, const LsaUnicodeString* keyName, const LsaUnicodeString* privateData);
// STATUS_OBJECT_NAME_NOT_FOUND when nothing is stored under keyName. *privateData is released with
// LsaFreeMemory.
NtStatus LsaRetrievePrivateData(LsaHandle policy, const LsaUnicodeString* keyName, LsaUnicodeString** privateData);
NtStatus LsaFreeMemory(void* buffer);
NtStatus LsaClose(LsaHandle handle);
// The Win32 error code of an NTSTATUS (ERROR_MR_MID_NOT_FOUND, 317, for one without a mapping).
uint32_t LsaNtStatusToWinError(NtStatus status);

}  // namespace tamber::platform
