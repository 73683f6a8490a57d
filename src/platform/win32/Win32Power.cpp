// Token privileges and shutdown requests: the Win32 calls themselves.
#include "platform/Power.h"
#include "platform/win32/Win32Api.h"

namespace tamber::platform {

bool OpenProcessToken(uint32_t desiredAccess, Handle* token) {
  HANDLE result = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &result)) return false;
  *token = result;
  return true;
}

bool LookupPrivilegeValue(const wchar_t* systemName, const wchar_t* name, Luid* luid) {
  LUID value{};
  if (!::LookupPrivilegeValueW(systemName, name, &value)) return false;
  luid->lowPart = value.LowPart;
  luid->highPart = value.HighPart;
  return true;
}

bool AdjustTokenPrivilege(Handle token, const Luid& luid, uint32_t attributes) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid.LowPart = luid.lowPart;
  privileges.Privileges[0].Luid.HighPart = luid.highPart;
  privileges.Privileges[0].Attributes = attributes;
  return ::AdjustTokenPrivileges(token, /*DisableAllPrivileges=*/FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}

bool InitiateSystemShutdownEx(const wchar_t* machineName, const wchar_t* message, uint32_t timeoutSeconds,
                              bool forceAppsClosed, bool rebootAfterShutdown, uint32_t reason) {
  return ::InitiateSystemShutdownExW(const_cast<wchar_t*>(machineName), const_cast<wchar_t*>(message), timeoutSeconds,
                                     win32::ToBool(forceAppsClosed), win32::ToBool(rebootAfterShutdown),
                                     reason) != FALSE;
}

}  // namespace tamber::platform
