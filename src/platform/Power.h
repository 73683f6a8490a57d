// Power and privileges seam: the process token's privileges and the system shutdown request, with
// the Win32 calls' arguments, results and error codes.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform {

// Token access rights.
constexpr uint32_t kTokenQuery = 0x0008;
constexpr uint32_t kTokenAdjustPrivileges = 0x0020;
constexpr uint32_t kTokenAllAccess = 0xF01FF;

// Privilege attributes.
constexpr uint32_t kSePrivilegeEnabled = 0x00000002;

// Errors of this area.
constexpr uint32_t kErrorNotAllAssigned = 1300;
constexpr uint32_t kErrorNoSuchPrivilege = 1313;

struct Luid {
  uint32_t lowPart = 0;
  int32_t highPart = 0;
};

// OpenProcessToken on the current process. The token is a kernel handle: close it with CloseHandle.
bool OpenProcessToken(uint32_t desiredAccess, Handle* token);
// LookupPrivilegeValueW; systemName null is the local machine. ERROR_NO_SUCH_PRIVILEGE for an unknown name.
bool LookupPrivilegeValue(const wchar_t* systemName, const wchar_t* name, Luid* luid);
// AdjustTokenPrivileges with one privilege and no previous state. As on Windows, a privilege the token
// does not hold still returns true, with ERROR_NOT_ALL_ASSIGNED as the last error.
bool AdjustTokenPrivilege(Handle token, const Luid& luid, uint32_t attributes);

// InitiateSystemShutdownExW. machineName null is the local machine. Needs SeShutdownPrivilege enabled
// (ERROR_PRIVILEGE_NOT_HELD otherwise); ERROR_SHUTDOWN_IN_PROGRESS when a shutdown is already under way.
bool InitiateSystemShutdownEx(const wchar_t* machineName, const wchar_t* message, uint32_t timeoutSeconds,
                              bool forceAppsClosed, bool rebootAfterShutdown, uint32_t reason);

}  // namespace tamber::platform
