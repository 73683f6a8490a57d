// Owners for what the directory calls hand out: netapi32 buffers (NetApiBufferFree) and controller
// enumerations (DsGetDcCloseW). Kept apart from Handles.h so that only directory code pulls in the seam.
#pragma once

#include "common/windows/Handles.h"
#include "platform/Directory.h"

namespace tamber::common::windows {

template <class T>
void FreeNetApiBuffer(T* buffer) {
  platform::NetApiBufferFree(buffer);
}
template <class T>
bool IsNonNullPointer(T* pointer) {
  return pointer != nullptr;
}
inline void CloseDcEnumeration(platform::Handle context) { platform::DsGetDcCloseW(context); }

// A buffer netapi32 allocated, of the type the call fills in (DomainControllerInfoW, wchar_t, ...).
template <class T>
using UniqueNetApiBuffer = UniqueAny<T*, &FreeNetApiBuffer<T>, &IsNonNullPointer<T>>;
using UniqueDcEnumeration = UniqueAny<platform::Handle, &CloseDcEnumeration, &IsNonNullHandle>;

}  // namespace tamber::common::windows
