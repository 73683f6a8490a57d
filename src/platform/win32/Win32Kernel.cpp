// Last error, handles and identities: the Win32 calls themselves.
#include "platform/Types.h"
#include "platform/win32/Win32Api.h"

namespace tamber::platform {

uint32_t GetLastError() { return ::GetLastError(); }
void SetLastError(uint32_t error) { ::SetLastError(error); }

bool CloseHandle(Handle handle) { return ::CloseHandle(handle) != FALSE; }

uint32_t GetCurrentProcessId() { return ::GetCurrentProcessId(); }
uint32_t GetCurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace tamber::platform
