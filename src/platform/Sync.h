// Synchronisation seam: events and waits with Win32 semantics.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace tamber::platform {

// CreateEventW. Returns null on failure (last error set). A non-null name makes a named event
// shared by all processes of the machine.
Handle CreateEvent(bool manualReset, bool initialState, const wchar_t* name);
// OpenEventW with EVENT_MODIFY_STATE | SYNCHRONIZE.
Handle OpenEvent(const wchar_t* name);
bool SetEvent(Handle event);
bool ResetEvent(Handle event);

uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds);
// Wait-any over 1..64 handles: WAIT_OBJECT_0+i (lowest signalled index wins), WAIT_TIMEOUT or
// WAIT_FAILED (last error set).
uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds);
// Alertable forms: queued calls for the waiting thread run inside the wait, which then returns
// WAIT_IO_COMPLETION.
uint32_t WaitForSingleObjectEx(Handle handle, uint32_t milliseconds, bool alertable);
uint32_t SleepEx(uint32_t milliseconds, bool alertable);

// A real handle to the calling thread (DuplicateHandle of the pseudo handle); close it when done.
Handle OpenCurrentThread();
using ApcRoutine = void (*)(uintptr_t parameter);
// QueueUserAPC: runs routine on the thread the next time it waits alertably.
bool QueueUserApc(ApcRoutine routine, Handle thread, uintptr_t parameter);

}  // namespace tamber::platform
