// Events, waits and asynchronous procedure calls: the Win32 calls themselves.
#include "platform/Sync.h"

#include <memory>

#include "platform/win32/Win32Api.h"

namespace tamber::platform {

using win32::ToBool;

namespace {

// QueueUserAPC passes one ULONG_PTR to a routine of its own signature; the seam's routine and
// parameter travel in a heap block that the trampoline frees. A call still queued when its thread
// ends is never run, and its block is lost with it.
struct QueuedCall {
  ApcRoutine routine;
  uintptr_t parameter;
};

void CALLBACK RunQueuedCall(ULONG_PTR data) {
  std::unique_ptr<QueuedCall> call(reinterpret_cast<QueuedCall*>(data));
  call->routine(call->parameter);
}

}  // namespace

Handle CreateEvent(bool manualReset, bool initialState, const wchar_t* name) {
  return ::CreateEventW(nullptr, ToBool(manualReset), ToBool(initialState), name);
}

Handle OpenEvent(const wchar_t* name) { return ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name); }

bool SetEvent(Handle event) { return ::SetEvent(event) != FALSE; }
bool ResetEvent(Handle event) { return ::ResetEvent(event) != FALSE; }

uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}

uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds) {
  return ::WaitForMultipleObjects(count, handles, /*bWaitAll=*/FALSE, milliseconds);
}

uint32_t WaitForSingleObjectEx(Handle handle, uint32_t milliseconds, bool alertable) {
  return ::WaitForSingleObjectEx(handle, milliseconds, ToBool(alertable));
}

uint32_t SleepEx(uint32_t milliseconds, bool alertable) { return ::SleepEx(milliseconds, ToBool(alertable)); }

Handle OpenCurrentThread() {
  HANDLE thread = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread, 0,
                         /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return thread;
}

bool QueueUserApc(ApcRoutine routine, Handle thread, uintptr_t parameter) {
  if (routine == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto call = std::make_unique<QueuedCall>(QueuedCall{routine, parameter});
  if (::QueueUserAPC(&RunQueuedCall, thread, reinterpret_cast<ULONG_PTR>(call.get())) == 0) return false;
  call.release();
  return true;
}

}  // namespace tamber::platform
