// The one place the win32 backend includes <windows.h>. The SDK's A/W macros are removed so that
// the seam's own functions keep their names; the backend calls the wide functions by their W names
// and every Win32 function with a leading "::" (the seam declares functions of the same names).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>

#undef CopyFile
#undef CreateDirectory
#undef CreateEvent
#undef CreateFile
#undef CreateProcess
#undef DeleteFile
#undef ExpandEnvironmentStrings
#undef FindFirstFile
#undef FindNextFile
#undef FormatMessage
#undef GetNamedSecurityInfo
#undef GetDiskFreeSpaceEx
#undef GetEnvironmentVariable
#undef GetFileAttributes
#undef GetModuleFileName
#undef InitiateSystemShutdownEx
#undef LookupPrivilegeValue
#undef MoveFileEx
#undef OpenEvent
#undef RegCreateKeyEx
#undef RegDeleteTree
#undef RegDeleteValue
#undef RegEnumKeyEx
#undef RegEnumValue
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegRestoreKey
#undef RegSaveKey
#undef RegSetValueEx
#undef RemoveDirectory
#undef SetEnvironmentVariable
#undef SetNamedSecurityInfo
#undef CreateJobObject

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform::win32 {

inline HKEY ToHkey(HKey key) { return static_cast<HKEY>(key); }
inline HKey FromHkey(HKEY key) { return static_cast<HKey>(key); }
inline BOOL ToBool(bool value) { return value ? TRUE : FALSE; }

// The SDK's types must be the seam's, so values pass straight through.
static_assert(sizeof(DWORD) == sizeof(uint32_t));
static_assert(sizeof(ULONG_PTR) == sizeof(uintptr_t));
static_assert(sizeof(wchar_t) == sizeof(WCHAR));

}  // namespace tamber::platform::win32
