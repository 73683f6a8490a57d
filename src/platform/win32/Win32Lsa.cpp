// LSA seam on the real LSA. The seam's counted strings and object attributes have the SDK's layout, so
// they pass straight through (UTF-16LE bytes are wchar_t text on Windows).
#include <cstddef>

#include "platform/Lsa.h"
#include "platform/win32/Win32Api.h"

// ntsecapi.h after windows.h.
#include <ntsecapi.h>

namespace tamber::platform {

static_assert(sizeof(LsaUnicodeString) == sizeof(LSA_UNICODE_STRING));
static_assert(offsetof(LsaUnicodeString, Length) == offsetof(LSA_UNICODE_STRING, Length));
static_assert(offsetof(LsaUnicodeString, MaximumLength) == offsetof(LSA_UNICODE_STRING, MaximumLength));
static_assert(offsetof(LsaUnicodeString, Buffer) == offsetof(LSA_UNICODE_STRING, Buffer));
static_assert(sizeof(LsaObjectAttributes) == sizeof(LSA_OBJECT_ATTRIBUTES));
static_assert(offsetof(LsaObjectAttributes, ObjectName) == offsetof(LSA_OBJECT_ATTRIBUTES, ObjectName));
static_assert(offsetof(LsaObjectAttributes, SecurityQualityOfService) ==
              offsetof(LSA_OBJECT_ATTRIBUTES, SecurityQualityOfService));
static_assert(POLICY_ALL_ACCESS == kPolicyAllAccess);
static_assert(POLICY_CREATE_SECRET == kPolicyCreateSecret);
static_assert(POLICY_GET_PRIVATE_INFORMATION == kPolicyGetPrivateInformation);

namespace {

PLSA_UNICODE_STRING Native(const LsaUnicodeString* text) {
  return reinterpret_cast<PLSA_UNICODE_STRING>(const_cast<LsaUnicodeString*>(text));
}

}  // namespace

NtStatus LsaOpenPolicy(const LsaUnicodeString* systemName, const LsaObjectAttributes* objectAttributes,
                       uint32_t desiredAccess, LsaHandle* policy) {
  LSA_HANDLE opened = nullptr;
  NTSTATUS status = ::LsaOpenPolicy(
      Native(systemName), reinterpret_cast<PLSA_OBJECT_ATTRIBUTES>(const_cast<LsaObjectAttributes*>(objectAttributes)),
      desiredAccess, policy != nullptr ? &opened : nullptr);
  if (NtSuccess(status) && policy != nullptr) *policy = opened;
  return status;
}

NtStatus LsaStorePrivateData(LsaHandle policy, const LsaUnicodeString* keyName, const LsaUnicodeString* privateData) {
  return ::LsaStorePrivateData(policy, Native(keyName), Native(privateData));
}

NtStatus LsaRetrievePrivateData(LsaHandle policy, const LsaUnicodeString* keyName, LsaUnicodeString** privateData) {
  return ::LsaRetrievePrivateData(policy, Native(keyName), reinterpret_cast<PLSA_UNICODE_STRING*>(privateData));
}

NtStatus LsaFreeMemory(void* buffer) { return ::LsaFreeMemory(buffer); }

NtStatus LsaClose(LsaHandle handle) { return ::LsaClose(handle); }

uint32_t LsaNtStatusToWinError(NtStatus status) { return ::LsaNtStatusToWinError(status); }

}  // namespace tamber::platform
